// optimum: 28
// Form two project teams from a pool of engineers: each team needs a lead and enough skill
// points, engineers who have worked together (listed pairs) should not all end up apart, and
// leads must come from the senior list. Maximise the total affinity of the chosen members.
{string} People = ...;
{string} Senior = ...;
{string} Teams = ...;
int Skill[People] = ...;
int Affinity[People][Teams] = ...;
int NeedSkill[Teams] = ...;
tuple Pair { string a; string b; }
{Pair} Partners with a in People, b in People = ...;
int Pool = sum(p in People) Skill[p];
assert Pool >= sum(t in Teams) NeedSkill[t];

dvar boolean Member[People][Teams];
dvar boolean Lead[People][Teams];

maximize sum(p in People, t in Teams) Affinity[p][t] * Member[p][t];
subject to {
  once: forall(p in People) sum(t in Teams) Member[p][t] <= 1;
  forall(t in Teams) {
    skill: sum(p in People) Skill[p] * Member[p][t] >= NeedSkill[t];
    lead: sum(p in People) Lead[p][t] == 1;
    size: 2 <= sum(p in People) Member[p][t] <= 4;
  }
  forall(p in People, t in Teams) {
    leadIsMember: Lead[p][t] <= Member[p][t];
    if (!(p in Senior)) { juniorLead: Lead[p][t] == 0; }
  }
  together: forall(<a, b> in Partners, t in Teams) Member[a][t] == Member[b][t];
}
