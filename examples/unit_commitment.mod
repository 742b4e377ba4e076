// optimum: 27020
// Commit generating units over the hours of a day: a unit that runs produces between its minimum
// and maximum output, pays a fixed running cost per hour and a fuel cost per MWh; demand plus a
// reserve margin must be met every hour.
{string} Units = ...;
range Hours = 1..6;
float Demand[Hours] = ...;
float Reserve = ...;
float MinOut[Units] = ...;
float MaxOut[Units] = ...;
float Running[Units] = ...;
float Fuel[Units] = ...;
float Required[h in Hours] = Demand[h] * (1 + Reserve);
assert max(h in Hours) Required[h] <= sum(u in Units) MaxOut[u];

dvar boolean On[Units][Hours];
dvar float+ Output[Units][Hours];

minimize sum(u in Units, h in Hours) (Running[u] * On[u][h] + Fuel[u] * Output[u][h]);
subject to {
  forall(u in Units, h in Hours)
    limits: MinOut[u] * On[u][h] <= Output[u][h] <= MaxOut[u] * On[u][h];
  forall(h in Hours) {
    demand: sum(u in Units) Output[u][h] == Demand[h];
    reserve: sum(u in Units) MaxOut[u] * On[u][h] >= Required[h];
  }
}
