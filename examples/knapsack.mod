// optimum: 1359
// 0-1 knapsack: pick items of greatest total value within the weight capacity.
int n = ...;
range Items = 1..n;
int value[Items] = ...;
int weight[Items] = ...;
int capacity = ...;

dvar boolean take[Items];

maximize sum(i in Items) value[i] * take[i];

subject to {
  capacity_limit: sum(i in Items) weight[i] * take[i] <= capacity;
}
