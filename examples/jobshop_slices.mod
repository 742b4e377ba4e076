// optimum: 203
// Assign jobs to the machines that can run them (the options are tuples) so that every job runs
// once, no machine works beyond its hours, and the total processing cost is least.
tuple Option { string job; string machine; int hours; float cost; }
{Option} Options = ...;
{string} Jobs = {j | <j, m, h, c> in Options};
{string} Machines = {m | <j, m, h, c> in Options};
int Hours[Machines] = ...;
int Longest = max(<j, m, h, c> in Options) h;
assert forall(m in Machines) Hours[m] >= 1;

dvar boolean Run[Options];

minimize sum(<j, m, h, c> in Options) c * Run[<j, m, h, c>];
subject to {
  once: forall(j in Jobs)
    sum(<j, m, h, c> in Options) Run[<j, m, h, c>] == 1;
  hours: forall(m in Machines)
    sum(<j, m, h, c> in Options) h * Run[<j, m, h, c>] <= Hours[m];
  forall(<j, m, h, c> in Options : h == Longest)
    longest: Run[<j, m, h, c>] <= 1;
}
