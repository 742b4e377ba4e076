// optimum: 40
// Maximum flow from the source to the sink of a pipe network; each pipe's capacity is its
// diameter class times a unit capacity, and the flow out of the source is the objective.
tuple Pipe { int tail; int head; int class; }
{Pipe} Pipes = ...;
int Source = ...;
int Sink = ...;
float UnitCapacity = ...;
{int} Nodes = {t | <t, h, c> in Pipes} union {h | <t, h, c> in Pipes};
{int} Inner = Nodes diff {Source, Sink};

dvar float+ Flow[p in Pipes] in 0..p.class * UnitCapacity;

maximize sum(<Source, h, c> in Pipes) Flow[<Source, h, c>] - sum(<t, Source, c> in Pipes) Flow[<t, Source, c>];
subject to {
  conserve: forall(n in Inner)
    sum(<n, h, c> in Pipes) Flow[<n, h, c>] == sum(<t, n, c> in Pipes) Flow[<t, n, c>];
}
