// optimum: 230
// Load items into several trucks, each item at most once, within each truck's weight and volume;
// fragile items may only go into trucks with padding. Item data come as tuples.
tuple Item { string name; int weight; int volume; int value; int fragile; }
{Item} Items = ...;
{string} Trucks = ...;
int MaxWeight[Trucks] = ...;
int MaxVolume[Trucks] = ...;
{string} Padded = ...;
{string} Names = {n | <n, w, v, p, f> in Items};
int Weight[n in Names] = sum(<n, w, v, p, f> in Items) w;
int Volume[n in Names] = sum(<n, w, v, p, f> in Items) v;
int Value[n in Names] = sum(<n, w, v, p, f> in Items) p;
{string} Fragile = {n | <n, w, v, p, 1> in Items};
assert card(Padded) <= card(Trucks);

dvar boolean Load[Names][Trucks];

maximize sum(n in Names, t in Trucks) Value[n] * Load[n][t];
subject to {
  once: forall(n in Names) sum(t in Trucks) Load[n][t] <= 1;
  forall(t in Trucks) {
    weight: sum(n in Names) Weight[n] * Load[n][t] <= MaxWeight[t];
    volume: sum(n in Names) Volume[n] * Load[n][t] <= MaxVolume[t];
  }
  fragile: forall(n in Fragile, t in Trucks diff Padded)
    Load[n][t] == 0;
}
