// optimum: 2550
// Transport with unequal supply and demand: when supply exceeds demand, the surplus stays at
// the plants at a storage cost; when demand exceeds supply, shortages are bought in at a
// penalty. Which case applies is decided from the data.
{string} Plants = ...;
{string} Markets = ...;
float Supply[Plants] = ...;
float Demand[Markets] = ...;
float Cost[Plants][Markets] = ...;
float Storage = ...;
float Shortage = ...;
float TotalSupply = sum(p in Plants) Supply[p];
float TotalDemand = sum(m in Markets) Demand[m];

dvar float+ Ship[Plants][Markets];
dvar float+ Left[Plants];
dvar float+ Bought[Markets];

minimize sum(p in Plants, m in Markets) Cost[p][m] * Ship[p][m]
       + Storage * sum(p in Plants) Left[p] + Shortage * sum(m in Markets) Bought[m];
subject to {
  supply: forall(p in Plants) sum(m in Markets) Ship[p][m] + Left[p] == Supply[p];
  demand: forall(m in Markets) sum(p in Plants) Ship[p][m] + Bought[m] == Demand[m];
  if (TotalSupply >= TotalDemand) {
    noBuying: forall(m in Markets) Bought[m] == 0;
  } else {
    noStorage: forall(p in Plants) Left[p] == 0;
  }
}
