// optimum: 51.5
// Raise service levels at least cost so that at least `required` sites reach their targets.
int n = ...;
range Sites = 1..n;
float unit_cost[Sites] = ...;
int target[Sites] = ...;
int required = ...;

dvar int+ level[Sites] in 0..10;

minimize sum(s in Sites) unit_cost[s] * level[s];

subject to {
  enough_sites: sum(s in Sites) (level[s] >= target[s]) >= required;
}
