// optimum: 11
// Jobs on two machines, least makespan; the script sets the solver's limits.
execute settings {
  cplex.tilim = 60;
  cplex.epgap = 0;
  cplex.threads = 1;
  cplex.mipemphasis = 1;
}

{string} Jobs = ...;
{string} Machines = ...;
int duration[Jobs][Machines] = ...;

dvar boolean on[Jobs][Machines];
dvar float+ makespan;

minimize makespan;
subject to {
  forall(j in Jobs) placed: sum(m in Machines) on[j][m] == 1;
  forall(m in Machines) load: sum(j in Jobs) duration[j][m] * on[j][m] <= makespan;
}
