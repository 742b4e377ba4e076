// optimum: 1650
// Weekly nurse rota: cover each day's need, give no nurse more than her contract days, and pay a
// weekend premium; nurses on the night list cannot work two days in a row.
range Days = 1..7;
{string} Nurses = ...;
{string} Nights = ...;
int Need[Days] = ...;
int MaxDays[Nurses] = ...;
float DayRate = ...;
float WeekendFactor = ...;
float Rate[d in Days] = (d >= 6 ? WeekendFactor : 1) * DayRate;

dvar boolean Work[Nurses][Days];

minimize sum(n in Nurses, d in Days) Rate[d] * Work[n][d];
subject to {
  cover: forall(d in Days) sum(n in Nurses) Work[n][d] >= Need[d];
  contract: forall(n in Nurses) sum(d in Days) Work[n][d] <= MaxDays[n];
  forall(n in Nurses, d in Days : d < 7) {
    if (n in Nights) { rest: Work[n][d] + Work[n][next(Days, d)] <= 1; }
  }
}
