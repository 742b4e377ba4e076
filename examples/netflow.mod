// optimum: 825
// Minimum-cost flow over the arcs of a network given as tuples; the nodes are the ends of the
// arcs, and every node's net supply is computed from the sources and sinks.
tuple Arc { string tail; string head; float cost; int cap; }
{Arc} Arcs = ...;
{string} Nodes = {i | <i, j, c, u> in Arcs} union {j | <i, j, c, u> in Arcs};
{string} Sources = ...;
{string} Sinks = ...;
float Amount = ...;
float NetSupply[n in Nodes] = Amount * (sum(s in Sources : s == n) 1) / card(Sources)
                              - Amount * (sum(s in Sinks : s == n) 1) / card(Sinks);

dvar float+ Flow[a in Arcs] in 0..a.cap;

minimize sum(<i, j, c, u> in Arcs) c * Flow[<i, j, c, u>];
subject to {
  forall(n in Nodes)
    conserve: sum(<n, j, c, u> in Arcs) Flow[<n, j, c, u>] - sum(<i, n, c, u> in Arcs) Flow[<i, n, c, u>]
              == NetSupply[n];
}
