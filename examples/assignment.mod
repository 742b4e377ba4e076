// optimum: 13
// Assign each worker to one task and each task to one worker, over the allowed pairs only.
tuple Pair {
  string worker;
  string task;
  int cost;
}
{string} Workers = ...;
{string} Tasks = ...;
{Pair} Pairs = ...;

dvar boolean assign[Pairs];

minimize sum(p in Pairs) p.cost * assign[p];

subject to {
  forall(w in Workers)
    one_task: sum(p in Pairs : p.worker == w) assign[p] == 1;
  forall(t in Tasks)
    one_worker: sum(p in Pairs : p.task == t) assign[p] == 1;
}
