// optimum: 833
// Transshipment with the arcs grouped by node: the arcs leaving each node come from the data,
// the arcs entering it are computed; a capacity of infinity means no limit, and each node's
// balance constraint is named with the `name[n] = ...` form.
tuple Arc {
  string from;
  string to;
}
{string} Nodes = ...;
{Arc} Arcs = ...;
float cost[Arcs] = ...;
float supply[Nodes] = ...;
{Arc} Out[Nodes] = ...;
{Arc} In[n in Nodes] = {a | a in Arcs : a.to == n};
float noLimit = infinity;
float cap[Arcs] = ...;
int hubs = card({n | n in Nodes : card(Out[n]) >= 3});

constraint balance[Nodes];

dvar float+ ship[Arcs] in 0..noLimit;

minimize sum(a in Arcs) cost[a] * ship[a];

subject to {
  forall(n in Nodes)
    balance[n] = sum(a in Out[n]) ship[a] - sum(a in In[n]) ship[a] == supply[n];
  forall(a in Arcs : cap[a] > 0)
    ship[a] <= cap[a];
  // a hub forwards at most 40 units on each arc it has
  forall(n in Nodes, a in Out[n] : card(Out[n]) >= 3)
    ship[a] <= 40 + hubs;
}
