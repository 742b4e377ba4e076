// optimum: 211
using CPLEX;
// Warehouse location: open warehouses at a fixed cost and serve every store from one open
// warehouse, paying the distance times the store's demand. At most MaxOpen may open.
{string} Warehouses = ...;
{string} Stores = ...;
float FixedCost[Warehouses] = ...;
int Distance[Stores][Warehouses] = ...;
int Demand[Stores] = ...;
int MaxOpen = ...;
float SupplyCost[s in Stores][w in Warehouses] = Distance[s][w] * Demand[s];
int Farthest = max(s in Stores, w in Warehouses) Distance[s][w];
assert MaxOpen >= 1 && MaxOpen <= card(Warehouses);
assert forall(s in Stores) min(w in Warehouses) Distance[s][w] < Farthest;

dvar boolean Open[Warehouses];
dvar boolean Supply[Stores][Warehouses];

minimize sum(w in Warehouses) FixedCost[w] * Open[w]
       + sum(s in Stores, w in Warehouses) SupplyCost[s][w] * Supply[s][w];
subject to {
  forall(s in Stores)
    one: sum(w in Warehouses) Supply[s][w] == 1;
  forall(s in Stores, w in Warehouses)
    onlyOpen: Supply[s][w] <= Open[w];
  count: sum(w in Warehouses) Open[w] <= MaxOpen;
}
