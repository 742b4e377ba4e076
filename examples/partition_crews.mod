// optimum: 15
// Crew scheduling as set partitioning: each candidate pairing covers a set of flights (an array
// of sets); choose pairings so that every flight is flown exactly once, at least cost. Pairings
// longer than the duty limit are left out by a computed set.
{string} Flights = ...;
{string} Pairings = ...;
{string} Covers[Pairings] = ...;
float Cost[Pairings] = ...;
int DutyLimit = ...;
{string} Allowed = {p | p in Pairings : card(Covers[p]) <= DutyLimit};
assert forall(f in Flights) sum(p in Allowed, g in Covers[p] : g == f) 1 >= 1;

dvar boolean Choose[Pairings];

minimize sum(p in Pairings) Cost[p] * Choose[p];
subject to {
  once: forall(f in Flights)
    sum(p in Pairings, g in Covers[p] : g == f) Choose[p] == 1;
  forall(p in Pairings diff Allowed)
    tooLong: Choose[p] == 0;
}
