// optimum: 11
// Cheapest cover of every district by stations; a main block runs the solve and reports it.
{string} Stations = ...;
{string} Districts = ...;
float cost[Stations] = ...;
int covers[Stations][Districts] = ...;

dvar boolean build[Stations];

minimize sum(s in Stations) cost[s] * build[s];
subject to {
  forall(d in Districts) covered: sum(s in Stations) covers[s][d] * build[s] >= 1;
}

main {
  cplex.tilim = 30;
  writeln("covering ", Opl.card(thisOplModel.Districts), " districts");
  thisOplModel.generate();
  if (cplex.solve()) {
    writeln("cost ", cplex.getObjValue());
  } else {
    writeln("no cover");
  }
  thisOplModel.postProcess();
}
