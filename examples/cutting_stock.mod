// optimum: 456.081
// Cut paper rolls into ordered widths with a given list of cutting patterns: each pattern cuts a
// number of pieces of some widths (tuples); meet every order with the fewest rolls. Pattern
// waste is computed in the model and patterns must fit the roll.
int RollWidth = ...;
{int} Widths = ...;
int Orders[Widths] = ...;
{string} Patterns = ...;
tuple Cut { string pattern; int width; int pieces; }
{Cut} Cuts with pattern in Patterns, width in Widths = ...;
int Used[p in Patterns] = sum(<p, w, k> in Cuts) w * k;
int Waste[p in Patterns] = RollWidth - Used[p];
assert forall(p in Patterns) Waste[p] >= 0;

dvar int+ Rolls[Patterns] in 0..1000;

minimize sum(p in Patterns) Rolls[p] + 0.001 * sum(p in Patterns) Waste[p] * Rolls[p];
subject to {
  demand: forall(w in Widths)
    sum(<p, w, k> in Cuts) k * Rolls[p] >= Orders[w];
}
