// optimum: 55575
// Multi-product transport over the routes that exist: supplies per product and origin, demands
// per product and destination, a shared capacity on each origin-destination link.
{string} Products = ...;
{string} Cities = ...;
tuple Route { string p; string o; string d; }
{Route} Routes = ...;
tuple Place { string p; string c; }
{Place} Origins = {<p, o> | <p, o, d> in Routes};
{Place} Destinations = {<p, d> | <p, o, d> in Routes};
float Supply[Origins] = ...;
float Demand[Destinations] = ...;
float Cost[Routes] = ...;
float Capacity = ...;
assert sum(<p, o> in Origins) Supply[<p, o>] >= sum(<p, d> in Destinations) Demand[<p, d>];

dvar float+ Trans[Routes];

minimize sum(<p, o, d> in Routes) Cost[<p, o, d>] * Trans[<p, o, d>];
subject to {
  forall(<p, o> in Origins)
    supply: sum(<p, o, d> in Routes) Trans[<p, o, d>] <= Supply[<p, o>];
  forall(<p, d> in Destinations)
    demand: sum(<p, o, d> in Routes) Trans[<p, o, d>] == Demand[<p, d>];
  forall(o in Cities, d in Cities : o != d)
    link: sum(<p, o, d> in Routes) Trans[<p, o, d>] <= Capacity;
}
