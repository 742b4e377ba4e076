// optimum: 960
// Media selection: buy whole advertisement slots in several media to reach the most people
// within the budget; each medium has a slot limit and at least a third of the spend goes to
// digital media.
{string} Media = ...;
{string} Digital = ...;
float Reach[Media] = ...;      // thousands of people per slot
float Price[Media] = ...;
int MaxSlots[Media] = ...;
float Budget = ...;
float DigitalShare = 1 / 3;
int Cheapest = min(m in Media) Price[m];

dvar int+ Slots[m in Media] in 0..MaxSlots[m];

maximize sum(m in Media) Reach[m] * Slots[m];
subject to {
  budget: sum(m in Media) Price[m] * Slots[m] <= Budget;
  digital: sum(m in Media : m in Digital) Price[m] * Slots[m] >= DigitalShare * sum(m in Media) Price[m] * Slots[m];
  floor: sum(m in Media) Slots[m] >= Budget div (10 * Cheapest);
}
