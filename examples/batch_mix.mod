// optimum: 1014
// Production in whole batches: a product with a batch size makes at most as many batches as the
// kiln's 100 slots hold (a guarded integer division: products without a batch size are not
// limited that way), resources are shared, and the constraints are named the older way, with
// `constraint` declarations filled by `name = ...`.
{string} Products = ...;
{string} Resources = ...;
float use[Products][Resources] = ...;
float stock[Resources] = ...;
int batch[Products] = ...;
float profit[Products] = ...;
int maxTotal = ...;

constraint capacity[Resources];
constraint total;

dvar int+ make[Products];

maximize sum(p in Products) profit[p] * make[p];

subject to {
  forall(r in Resources)
    capacity[r] = sum(p in Products) use[p][r] * make[p] <= stock[r];
  forall(p in Products : batch[p] != 0)
    kiln: make[p] <= 100 div batch[p];
  total = sum(p in Products) make[p] <= maxTotal;
}
