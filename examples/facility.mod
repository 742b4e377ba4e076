// optimum: 3700
// Capacitated facility location: open facilities and serve every customer from open ones.
{string} Facilities = ...;
{string} Customers = ...;
float fixed_cost[Facilities] = ...;
float capacity[Facilities] = ...;
float demand[Customers] = ...;
float cost[Facilities][Customers] = ...;

dvar boolean open[Facilities];
dvar boolean serve[Facilities][Customers];  // each customer is served by one facility

minimize sum(f in Facilities) fixed_cost[f] * open[f]
       + sum(f in Facilities, c in Customers) cost[f][c] * serve[f][c];

subject to {
  forall(c in Customers)
    served: sum(f in Facilities) serve[f][c] == 1;
  forall(f in Facilities, c in Customers)
    only_if_open: serve[f][c] <= open[f];
  forall(f in Facilities)
    within_capacity: sum(c in Customers) demand[c] * serve[f][c] <= capacity[f] * open[f];
}
