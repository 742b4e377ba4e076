// optimum: 38
// Place fire stations so that every district is reached within the time limit by at least the
// number of stations its risk class asks for, at least cost. Reach is computed from travel times.
{string} Districts = ...;
int Time[Districts][Districts] = ...;
int Limit = ...;
int Risk[Districts] = ...;
float BuildCost[Districts] = ...;
tuple Pair { string site; string district; }
{Pair} Reach = {<i, j> | i in Districts, j in Districts : Time[i][j] <= Limit};
int Need[d in Districts] = Risk[d] >= 3 ? 2 : 1;
assert forall(d in Districts) sum(<i, d> in Reach) 1 >= Need[d];

dvar boolean Build[Districts];

minimize sum(i in Districts) BuildCost[i] * Build[i];
subject to {
  cover: forall(d in Districts)
    sum(<i, d> in Reach) Build[i] >= Need[d];
}
