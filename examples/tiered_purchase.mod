// optimum: 66
// Buying a required number of items from three suppliers whose prices change with the quantity:
// North gives discounts beyond 4 and 8 items (a concave cost, which takes binaries to minimise),
// South charges a surcharge beyond 6 and East a smaller one beyond 5 (convex costs, linear).
{string} Suppliers = ...;
int Need = ...;
int Cap[Suppliers] = ...;

pwlFunction discounted = piecewise{5 -> 4; 3 -> 8; 2}(0, 0);
pwlFunction surcharged = piecewise{3 -> 6; 7}(0, 0);

dvar int Buy[s in Suppliers] in 0..Cap[s];

minimize discounted(Buy["North"]) + surcharged(Buy["South"]) + piecewise{4 -> 5; 4.5} Buy["East"];
subject to {
  enough: sum(s in Suppliers) Buy[s] >= Need;
}
