// optimum: 27.5
// Facility location whose distances a script computes from coordinates, to one decimal.
{string} Sites = ...;
{string} Clients = ...;
float siteX[Sites] = ...;
float siteY[Sites] = ...;
float clientX[Clients] = ...;
float clientY[Clients] = ...;
float openCost[Sites] = ...;
float dist[Sites][Clients];

execute distances {
  for (var s in Sites)
    for (var c in Clients) {
      var dx = siteX[s] - clientX[c], dy = siteY[s] - clientY[c];
      dist[s][c] = Math.round(Math.sqrt(dx * dx + dy * dy) * 10) / 10;
    }
  writeln("distances from ", Opl.first(Sites), ": ", dist[Opl.first(Sites)]);
}

dvar boolean open[Sites];
dvar boolean serve[Sites][Clients];

minimize sum(s in Sites) openCost[s] * open[s] + sum(s in Sites, c in Clients) dist[s][c] * serve[s][c];
subject to {
  forall(c in Clients) served: sum(s in Sites) serve[s][c] == 1;
  forall(s in Sites, c in Clients) onlyOpen: serve[s][c] <= open[s];
}
