// optimum: 1541.538461538
// Blend alloys from raw metals at least cost so that each element's share of the product lies
// within its grade limits; the limits are percentages, converted in the model.
{string} Metals = ...;
{string} Elements = ...;
float Price[Metals] = ...;
float Content[Metals][Elements] = ...;   // percent of each element in each metal
float MinPercent[Elements] = ...;
float MaxPercent[Elements] = ...;
float Produce = ...;
float Low[e in Elements] = MinPercent[e] / 100 * Produce;
float High[e in Elements] = MaxPercent[e] / 100 * Produce;
assert forall(e in Elements) MinPercent[e] <= MaxPercent[e];

dvar float+ Use[Metals];

minimize sum(m in Metals) Price[m] * Use[m];
subject to {
  total: sum(m in Metals) Use[m] == Produce;
  grade: forall(e in Elements)
    Low[e] <= sum(m in Metals) Content[m][e] / 100 * Use[m] <= High[e];
}
