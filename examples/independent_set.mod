// optimum: 46
// Choose kiosks to open at street corners so that no two neighbouring corners both get one,
// maximising the expected footfall; the street graph is a set of tuple edges checked against the
// corners by a with clause.
{string} Corners = ...;
tuple Street { string a; string b; }
{Street} Streets with a in Corners, b in Corners = ...;
int Footfall[Corners] = ...;
int Degree[c in Corners] = sum(<c, x> in Streets) 1 + sum(<x, c> in Streets) 1;

dvar boolean Kiosk[Corners];

maximize sum(c in Corners) Footfall[c] * Kiosk[c];
subject to {
  apart: forall(<u, v> in Streets) Kiosk[u] + Kiosk[v] <= 1;
  forall(c in Corners : Degree[c] == 0) isolated: Kiosk[c] == 1;
}
