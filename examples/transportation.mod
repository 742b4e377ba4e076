// optimum: 1210
// Ship goods from plants to markets at least cost, within supplies and meeting demands.
{string} Plants = ...;
{string} Markets = ...;
float supply[Plants] = ...;
float demand[Markets] = ...;
float cost[Plants][Markets] = ...;

dvar float+ ship[Plants][Markets];

minimize sum(p in Plants, m in Markets) cost[p][m] * ship[p][m];

subject to {
  forall(p in Plants)
    within_supply: sum(m in Markets) ship[p][m] <= supply[p];
  forall(m in Markets)
    meet_demand: sum(p in Plants) ship[p][m] >= demand[m];
}
