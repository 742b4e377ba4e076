// optimum: 965
// Uncapacitated lot sizing: in each period pay a setup cost to produce at all, a unit cost per
// item made and a holding cost per item stored. The big M of each period is the demand still to
// come, computed in the model.
int Horizon = ...;
range T = 1..Horizon;
int Demand[T] = ...;
float Setup[T] = ...;
float Unit[T] = ...;
float Hold = ...;
int Remaining[t in T] = sum(u in T : u >= t) Demand[u];

dvar float+ Make[T];
dvar float+ Stock[T];
dvar boolean Produce[T];

minimize sum(t in T) (Setup[t] * Produce[t] + Unit[t] * Make[t] + Hold * Stock[t]);
subject to {
  flow: forall(t in T) {
    if (t == 1) { Make[t] - Stock[t] == Demand[t]; }
    else { Stock[prev(T, t)] + Make[t] - Stock[t] == Demand[t]; }
  }
  setup: forall(t in T) Make[t] <= Remaining[t] * Produce[t];
}
