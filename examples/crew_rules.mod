// optimum: 225
// Crews for four days: each worker makes 5 units a day, 7 on an overtime day, which costs a
// bonus per worker on duty and a fixed fee. Overtime never falls on two days in a row, and a
// day with a crew of 5 or more is followed by a day with at most 4.
range Days = 1..4;
int Demand[Days] = ...;
float Wage = ...;
float Bonus = ...;
float Fee = ...;

dvar int Crew[Days] in 0..6;
dvar boolean Overtime[Days];

minimize sum(d in Days) (Wage * Crew[d] + Bonus * Crew[d] * Overtime[d] + Fee * Overtime[d]);
subject to {
  output: forall(d in Days) 5 * Crew[d] + 2 * Crew[d] * Overtime[d] >= Demand[d];
  rest: forall(d in Days : d < 4) !(Overtime[d] && Overtime[d + 1]);
  fatigue: forall(d in Days : d < 4) {
    if (Crew[d] >= 5) {
      Crew[d + 1] <= 4;
    }
  }
}
