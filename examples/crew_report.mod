// optimum: 41
// Crews to jobs, one each, at least cost; settings before the model, a report of who does what after the solve.
{string} Crews = ...;
{string} Jobs = ...;
float cost[Crews][Jobs] = ...;

execute SETTINGS {
  cplex.tilim = 60;
  cplex.epgap = 0;
}

dvar boolean x[Crews][Jobs];

minimize sum(c in Crews, j in Jobs) cost[c][j] * x[c][j];

subject to {
  forall(c in Crews)
    one_job: sum(j in Jobs) x[c][j] == 1;
  forall(j in Jobs)
    one_crew: sum(c in Crews) x[c][j] == 1;
}

tuple Duty {
  string crew;
  string job;
}
{Duty} duties = {<c, j> | c in Crews, j in Jobs : x[c][j] == 1};
float dearest = max(d in duties) cost[d.crew][d.job];

execute REPORT {
  for (var d in duties) {
    writeln(d.crew, " -> ", d.job, " at ", cost[d.crew][d.job]);
  }
  writeln("dearest duty: ", dearest);
  writeln("total: ", cplex.getObjValue());
}
