// optimum: 61
// A knapsack whose capacity and set of heavy items a script derives from the data.
int n = ...;
range Items = 1..n;
int weight[Items] = ...;
int value[Items] = ...;
int heavyFrom = ...;
{int} Heavy;
int capacity;

execute prepare {
  var total = 0;
  for (var i in Items) {
    total += weight[i];
    if (weight[i] >= heavyFrom) Heavy.add(i);
  }
  capacity = Math.floor(total / 2);
  writeln("capacity ", capacity, ", heavy items ", Heavy);
}

dvar boolean take[Items];

maximize sum(i in Items) value[i] * take[i];
subject to {
  sum(i in Items) weight[i] * take[i] <= capacity;
  atMostTwoHeavy: sum(i in Heavy) take[i] <= 2;
}
