// optimum: 2578.857142857
// Product mix: choose weekly quantities of products made on shared machines to maximise margin;
// margins are computed from prices and material costs, machine hours come in whole shifts, and
// each product's output lies between its contract minimum and its market maximum.
{string} Products = ...;
{string} Machines = ...;
float Price[Products] = ...;
float Material[Products] = ...;
float Minutes[Products][Machines] = ...;
int Shifts[Machines] = ...;
int ShiftHours = ...;
int Contract[Products] = ...;
int Market[Products] = ...;
float Margin[p in Products] = Price[p] - Material[p];
float Available[m in Machines] = Shifts[m] * ShiftHours * 60;
assert forall(p in Products) Margin[p] > 0 && Contract[p] <= Market[p];

dvar float+ Make[Products];

maximize sum(p in Products) Margin[p] * Make[p];
subject to {
  time: forall(m in Machines) sum(p in Products) Minutes[p][m] * Make[p] <= Available[m];
  market: forall(p in Products) Contract[p] <= Make[p] <= Market[p];
}
