// optimum: 19.205977225
// A diet at least cost: each nutrient between its lower and upper limit, in the style of the
// classic course exercise. The limits are computed from a daily allowance and a tolerance.
{string} Foods = ...;
{string} Nutrients = ...;
float Cost[Foods] = ...;
float Amount[Foods][Nutrients] = ...;
float Allowance[Nutrients] = ...;
float Tolerance = ...;
float Low[n in Nutrients] = Allowance[n] * (1 - Tolerance);
float High[n in Nutrients] = Allowance[n] * (1 + Tolerance);
float MaxServings = ceil(max(n in Nutrients) Allowance[n] / min(f in Foods, m in Nutrients : Amount[f][m] > 0) Amount[f][m]);
assert forall(n in Nutrients) sum(f in Foods) Amount[f][n] > 0;

dvar float+ Servings[Foods] in 0..MaxServings;

minimize sum(f in Foods) Cost[f] * Servings[f];
subject to {
  limits: forall(n in Nutrients)
    Low[n] <= sum(f in Foods) Amount[f][n] * Servings[f] <= High[n];
}
