// optimum: 1000
// Crashing a small building project: each task may be shortened by whole days at a cost, and a
// task that waits for two or more others starts a day after the last of them to coordinate.
tuple Task { string name; int dur; int maxCrash; float crashCost; {string} after; }
{Task} Tasks = ...;
{string} Names = {t.name | t in Tasks};
float dayCost = ...;
dvar int crash[t in Tasks] in 0..t.maxCrash;
dvar float+ start[Tasks];
dvar float+ finish[Names];
dvar float+ makespan;
minimize dayCost * makespan + sum(t in Tasks) t.crashCost * crash[t];
subject to {
  forall(t in Tasks) finish[t.name] == start[t] + t.dur - crash[t];
  forall(t in Tasks, p in t.after) start[t] >= finish[p];
  forall(t in Tasks, p in t.after : card(t.after) >= 2) start[t] >= finish[p] + 1;
  forall(t in Tasks, u in Tasks : u.name in t.after) makespan >= finish[u.name];
  forall(n in Names) makespan >= finish[n];
}
