// optimum: 5
// Pack parcels into the fewest containers of one capacity; a container is used before the next
// one (symmetry breaking with prev), and the number of containers offered is computed from the
// parcels.
{string} Parcels = ...;
int Size[Parcels] = ...;
int Capacity = ...;
int Offered = ceil(sum(p in Parcels) Size[p] / Capacity) + 2;
range Bins = 1..Offered;
assert forall(p in Parcels) Size[p] <= Capacity;

dvar boolean Put[Parcels][Bins];
dvar boolean Used[Bins];

minimize sum(b in Bins) Used[b];
subject to {
  once: forall(p in Parcels) sum(b in Bins) Put[p][b] == 1;
  fit: forall(b in Bins) sum(p in Parcels) Size[p] * Put[p][b] <= Capacity * Used[b];
  order: forall(b in Bins : b > 1) Used[b] <= Used[prev(Bins, b)];
}
