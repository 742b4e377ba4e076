// optimum: 37
// Covering customers on a street with stations: each station reaches a stretch of house numbers,
// written as ranges inside sets in the .dat file; priority customers need two stations. How many
// customers are priority, and where the street starts and ends, are computed from set expressions.
{string} Sites = ...;
{int} Customers = ...;
{int} Covers[Sites] = ...;
{int} Priority = ...;
float cost[Sites] = ...;
int priorities = card(Customers inter Priority);
int firstHouse = first({c | c in Customers : c in Covers["North"] || c in Covers["South"]});
int lastHouse = last(asSet(Customers) diff {12});

dvar boolean open[Sites];

minimize sum(s in Sites) cost[s] * open[s] + priorities + firstHouse + lastHouse;

subject to {
  forall(c in Customers : !(c in Priority))
    served: sum(s in Sites : c in Covers[s]) open[s] >= 1;
  forall(c in Customers : c in Priority)
    twice: sum(s in Sites : c in Covers[s]) open[s] >= 2;
}
