// optimum: 23
// Shortest path from the first to the last city as a flow of one unit over the road arcs;
// closed roads are listed in the data and left out of the usable set.
tuple Road { string from_city; string to_city; float km; }
{Road} Roads = ...;
{string} Cities = {a | <a, b, k> in Roads} union {b | <a, b, k> in Roads};
string Origin = ...;
string Destination = ...;
{Road} Closed = ...;
{Road} Open = Roads diff Closed;
float Net[c in Cities] = c == Origin ? 1 : (c == Destination ? -1 : 0);
assert Origin != Destination;

dvar float+ Use[Open] in 0..1;

minimize sum(<a, b, k> in Open) k * Use[<a, b, k>];
subject to {
  forall(c in Cities)
    flow: sum(<c, b, k> in Open) Use[<c, b, k>] - sum(<a, c, k> in Open) Use[<a, c, k>] == Net[c];
}
