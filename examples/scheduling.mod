// optimum: 15
// One machine, jobs with release times: order the jobs to finish the last one as early as possible.
int n = ...;
range Jobs = 1..n;
int release[Jobs] = ...;
int duration[Jobs] = ...;
int horizon = ...;

dvar float+ start[Jobs] in 0..horizon;
dvar boolean before[Jobs][Jobs];   // before[i][j] == 1: job i runs before job j
dvar float+ makespan;

minimize makespan;

subject to {
  forall(j in Jobs) {
    released: start[j] >= release[j];
    last_end: makespan >= start[j] + duration[j];
  }
  forall(i in Jobs, j in Jobs : i < j) {
    i_first: before[i][j] == 1 => start[j] >= start[i] + duration[i];
    j_first: before[i][j] == 0 => start[i] >= start[j] + duration[j];
  }
}
