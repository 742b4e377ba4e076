// optimum: 2150
// Production planning: how much of each product to make with limited resources.
{string} Products = ...;
{string} Resources = ...;
float profit[Products] = ...;
float usage[Resources][Products] = ...;
float available[Resources] = ...;
int max_demand[Products] = ...;

dvar int+ make[Products] in 0..100;

dexpr float used[r in Resources] = sum(p in Products) usage[r][p] * make[p];
dexpr float total_profit = sum(p in Products) profit[p] * make[p];

maximize total_profit;

subject to {
  forall(r in Resources)
    resource_limit: used[r] <= available[r];
  forall(p in Products)
    market_limit: make[p] <= max_demand[p];
}
