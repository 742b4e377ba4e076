// optimum: 6525
// Production planning over several periods: make, store or buy in each period to meet demand,
// with regular and overtime capacity. The first period starts from the initial stock.
int Periods = ...;
range T = 1..Periods;
{string} Products = ...;
float Demand[Products][T] = ...;
float InitialStock[Products] = ...;
float MakeCost[Products] = ...;
float HoldCost = ...;
float OvertimePremium = ...;
float Capacity = ...;
float TotalDemand = sum(p in Products, t in T) Demand[p][t];
assert TotalDemand <= 2 * Capacity * Periods + sum(p in Products) InitialStock[p];

dvar float+ Make[Products][T];
dvar float+ Overtime[Products][T];
dvar float+ Stock[Products][T];

minimize sum(p in Products, t in T)
  (MakeCost[p] * Make[p][t] + (MakeCost[p] + OvertimePremium) * Overtime[p][t] + HoldCost * Stock[p][t]);
subject to {
  balance: forall(p in Products, t in T) {
    if (t == first(T)) {
      InitialStock[p] + Make[p][t] + Overtime[p][t] == Demand[p][t] + Stock[p][t];
    } else {
      Stock[p][prev(T, t)] + Make[p][t] + Overtime[p][t] == Demand[p][t] + Stock[p][t];
    }
  };
  forall(t in T) {
    regular: sum(p in Products) Make[p][t] <= Capacity;
    overtime: 0 <= sum(p in Products) Overtime[p][t] <= Capacity div 2;
  }
}
