// optimum: 142
// Whole batches of three products on two machines; the profit is a decision expression that the
// report after the solve prints next to the hours each machine has left.
{string} Products = ...;
{string} Machines = ...;
float profit[Products] = ...;
float hours[Machines][Products] = ...;
float available[Machines] = ...;
int most[Products] = ...;

execute {
  cplex.epagap = 0.5;
  cplex.epgap = 0;
  cplex.tilim = 60;
}

dvar int+ batches[p in Products] in 0..most[p];
dexpr float earned = sum(p in Products) profit[p] * batches[p];

maximize earned;

subject to {
  forall(m in Machines)
    machine_hours: sum(p in Products) hours[m][p] * batches[p] <= available[m];
}

float idle[m in Machines] = available[m] - sum(p in Products) hours[m][p] * batches[p];
int made = sum(p in Products) batches[p];

execute {
  writeln("profit ", earned, " from ", made, " batches");
  for (var p in Products) {
    if (batches[p] > 0) {
      writeln("  ", p, ": ", batches[p]);
    }
  }
  for (var m in Machines) {
    writeln(m, " idle ", idle[m], " h");
  }
}
