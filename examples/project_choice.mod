// optimum: 14
// Assign students to projects by their ranked wishes (tuples student, project, rank): the cost of
// an assignment grows with the square of the rank, each project takes between a minimum and a
// maximum of students or stays closed.
{string} Students = ...;
{string} Projects = ...;
tuple Wish { string student; string project; int rank; }
{Wish} Wishes with student in Students, project in Projects = ...;
int MinSize = ...;
int MaxSize = ...;
float Penalty[w in Wishes] = pow(w.rank, 2);

dvar boolean Assign[Wishes];
dvar boolean Open[Projects];

minimize sum(w in Wishes) Penalty[w] * Assign[w];
subject to {
  one: forall(s in Students) sum(<s, p, r> in Wishes) Assign[<s, p, r>] == 1;
  size: forall(p in Projects)
    MinSize * Open[p] <= sum(<s, p, r> in Wishes) Assign[<s, p, r>] <= MaxSize * Open[p];
}
