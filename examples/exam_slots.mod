// optimum: 3
// Exam timetabling: every exam gets one slot, exams that share students (listed per exam as an
// array of sets) never share a slot, and a slot holds as many exams as there are rooms. The
// slots are a range written inside a set in the .dat file.
{string} Exams = ...;
{int} Slots = ...;
{string} Conflicts[Exams] = ...;
float penalty[Exams][Slots] = ...;
int rooms = ...;
int busiest = max(e in Exams) card(Conflicts[e]);
{string} Hard = {e | e in Exams : card(Conflicts[e]) == busiest};

dvar boolean at[Exams][Slots];

minimize sum(e in Exams, s in Slots) penalty[e][s] * at[e][s]
       + sum(e in Hard) at[e][first(Slots)];

subject to {
  forall(e in Exams)
    once: sum(s in Slots) at[e][s] == 1;
  forall(e in Exams, f in Exams, s in Slots : ord(Exams, e) < ord(Exams, f) && f in Conflicts[e])
    apart: at[e][s] + at[f][s] <= 1;
  forall(s in Slots)
    roomsFree: sum(e in Exams) at[e][s] <= rooms;
}
