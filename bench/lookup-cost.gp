# Draws the cost of one lookup against the number of running processes.
set terminal svg size 720,440 dynamic font "sans,12"
set output out
set title "Cost of one lookup"
set xlabel "running processes"
set ylabel "microseconds per lookup"
set logscale xy
set grid
set key top left
set datafile separator "\t"
plot data using 1:2 with linespoints lw 2 title "library (C++)", \
     data using 1:7 with linespoints lw 2 title "library (Perl)", \
     data using 1:3 with linespoints lw 2 title "full walk of /proc", \
     data using 1:4 with linespoints lw 2 title "probe of all 64 candidates", \
     data using 1:6 with linespoints lw 2 title "bare probe (pidfd_open and stat)" noenhanced, \
     data using 1:5 with linespoints lw 2 title "naive walk (every name)", \
     data using 1:8 with linespoints lw 2 title "Proc::ProcessTable loop (Perl)", \
     data using 1:9 with linespoints lw 2 title "psutil loop (Python)"
