// optimum: 158
// Pack the most valuable load within the weight limit; the solver settings include two HiGHS has no
// counterpart for, and the report after the solve gives the weight left over.
{string} Items = ...;
int value[Items] = ...;
int weight[Items] = ...;
int limit = ...;

execute {
  cplex.threads = 2;
  cplex.mipemphasis = 1;
  cplex.epgap = 0;
}

dvar boolean take[Items];

maximize sum(i in Items) value[i] * take[i];

subject to {
  load: sum(i in Items) weight[i] * take[i] <= limit;
}

int used = sum(i in Items) weight[i] * take[i];
int left = limit - used;
{string} packed = {i | i in Items : take[i] == 1};

execute {
  writeln("packed ", Opl.card(packed), " items weighing ", used, " of ", limit);
  writeln("room left: ", left);
  for (var i in packed) {
    writeln("  ", i, ": value ", value[i], ", weight ", weight[i]);
  }
}
