// optimum: 505
// Ship from plants to markets at least cost; after the solve, list the lanes in use with their
// loads, read three ways: from a computed set, with solutionValue, and through thisOplModel.
{string} Plants = ...;
{string} Markets = ...;
float supply[Plants] = ...;
float demand[Markets] = ...;
float rate[Plants][Markets] = ...;

execute {
  cplex.tilim = 30;
}

dvar float+ ship[Plants][Markets];
dexpr float freight = sum(p in Plants, m in Markets) rate[p][m] * ship[p][m];

minimize freight;

subject to {
  forall(p in Plants)
    within_supply: sum(m in Markets) ship[p][m] <= supply[p];
  forall(m in Markets)
    meet_demand: sum(p in Plants) ship[p][m] >= demand[m];
}

tuple Lane {
  string plant;
  string market;
  float load;
}
{Lane} lanes = {<p, m, ship[p][m]> | p in Plants, m in Markets : ship[p][m] > 1e-6};
float spare[p in Plants] = supply[p] - sum(m in Markets) ship[p][m];

execute REPORT {
  for (var l in lanes) {
    writeln(l.plant, " -> ", l.market, ": ", l.load);
  }
  for (var p in Plants) {
    var sent = 0;
    for (var m in Markets) {
      sent += ship[p][m].solutionValue;
    }
    writeln(p, " sends ", sent, ", spare ", spare[p]);
  }
  writeln("freight ", freight, " = ", cplex.getObjValue());
  writeln("Dover to Leeds: ", thisOplModel.ship["Dover"]["Leeds"]);
}
