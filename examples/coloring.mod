// optimum: 38
// Give neighbouring regions different frequencies; low frequencies are cheaper.
tuple Border {
  int a;
  int b;
}
int n = ...;
range Regions = 1..n;
int weight[Regions] = ...;
{Border} Borders = ...;

dvar int channel[Regions] in 1..4;

minimize sum(r in Regions) weight[r] * channel[r];

subject to {
  forall(e in Borders)
    differ: channel[e.a] != channel[e.b];
}
