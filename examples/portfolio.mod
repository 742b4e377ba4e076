// optimum: 33.8
// Invest a budget to maximise the mean return over historical scenarios while the loss in every
// scenario stays within a limit. Mean returns are computed from the scenarios in the model.
{string} Assets = ...;
int Scenarios = ...;
range S = 1..Scenarios;
float Return[S][Assets] = ...;     // percent
float Budget = ...;
float MaxLoss = ...;
float MaxShare = ...;
float Mean[a in Assets] = sum(s in S) Return[s][a] / card(S) / 100;
float Worst[a in Assets] = min(s in S) Return[s][a];

dvar float+ Invest[a in Assets] in 0..MaxShare * Budget;

maximize sum(a in Assets) Mean[a] * Invest[a];
subject to {
  budget: sum(a in Assets) Invest[a] <= Budget;
  loss: forall(s in S)
    sum(a in Assets) Return[s][a] / 100 * Invest[a] >= -MaxLoss;
  forall(a in Assets : Worst[a] < -20)
    risky: Invest[a] <= Budget / 10;
}
