// optimum: 294
// Staffing a shop's opening window with four-hour shifts: the window runs from the first to the
// last hour with demand (computed from set expressions), shifts start inside it and end by
// closing time, a shift costs the wage of the hour it starts, and no more than `maxStart` staff
// start in the same hour unless that limit is infinity.
{int} Hours = ...;
int demand[Hours] = ...;
float wage[Hours] = ...;
int shiftLength = ...;
float maxStart = infinity;
int opening = first({h | h in Hours : demand[h] > 0});
int closing = last({h | h in Hours : demand[h] > 0});
{int} Starts = {h | h in Hours : h >= opening && h + shiftLength - 1 <= closing};
int spread = card(Starts) - ord(Hours, closing) + ord(Hours, opening);

dvar int+ start[Starts];

minimize sum(h in Starts) wage[h] * start[h] + spread;

subject to {
  forall(h in Hours : demand[h] > 0)
    cover: sum(k in Starts : k <= h && k > h - shiftLength) start[k] >= demand[h];
  forall(h in Starts)
    start[h] <= maxStart;
}
