// optimum: 300
// Staff the hours of a day: each shift pattern covers a set of hours (an array of sets), every
// hour needs its number of workers, and patterns that start late cost a night premium.
range Hours = 1..8;
{string} Patterns = ...;
{int} Covers[Patterns] = ...;
int Need[Hours] = ...;
float Wage = ...;
float Premium = ...;
int Start[p in Patterns] = min(h in Covers[p]) h;
float PatternCost[p in Patterns] = Wage * card(Covers[p]) + (Start[p] >= 5 ? Premium : 0);
assert forall(h in Hours) sum(p in Patterns, k in Covers[p] : k == h) 1 >= 1;

dvar int+ Staff[Patterns] in 0..10;

minimize sum(p in Patterns) PatternCost[p] * Staff[p];
subject to {
  need: forall(h in Hours)
    sum(p in Patterns, k in Covers[p] : k == h) Staff[p] >= Need[h];
}
