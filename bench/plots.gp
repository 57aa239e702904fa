# The plots of docs/performance.md from e2e_bench's CSV.
#   gnuplot -c bench/plots.gp docs/perf/e2e.csv docs
csv = ARG1
dir = ARG2
set datafile separator ','
set terminal pngcairo size 900,560 font ',11' noenhanced
set grid
set key top left box opaque

# Columns: 1 group, 2 case, 3 baud, 4 instances, 5 elements, 10 mean_ms,
# 13 tx_per_s, 15 floor_ms.
reads(b) = (strcol(1) eq 'cases' && strcol(2)[1:6] eq 'read-V' && $3 == b) ? $5 : NaN
scaled(b) = (strcol(1) eq 'instances' && $3 == b) ? $4 : NaN

set output dir.'/perf-block-size.png'
set title 'Read of n V words: time per transaction, measured and line floor'
set xlabel 'words per block (n)'
set ylabel 'ms per transaction'
set logscale x 2
set xtics (1, 2, 4, 8, 16, 32, 62)
set yrange [0:*]
plot csv using (reads(9600)):10 with linespoints lw 2 pt 7 lc rgb '#7b2cbf' title 'measured, 9600 baud', \
     csv using (reads(9600)):15 with lines dt 2 lw 2 lc rgb '#7b2cbf' title 'floor, 9600 baud', \
     csv using (reads(19200)):10 with linespoints lw 2 pt 5 lc rgb '#0077b6' title 'measured, 19200 baud', \
     csv using (reads(19200)):15 with lines dt 2 lw 2 lc rgb '#0077b6' title 'floor, 19200 baud', \
     csv using (reads(0)):10 with linespoints lw 2 pt 9 lc rgb '#555555' title 'measured, unpaced (the 50 ms pause)'

set output dir.'/perf-instances.png'
set title 'Reads of 62 words, one line per instance: aggregate throughput'
set xlabel 'instances (threads, one port each)'
set ylabel 'transactions per second, all instances'
set logscale xy 2
set xtics (1, 2, 4, 8, 16, 32)
set yrange [*:*]
plot csv using (scaled(0)):13 with linespoints lw 2 pt 9 lc rgb '#555555' title 'unpaced', \
     csv using (scaled(0)):($4 * 1000 / $15) with lines dt 2 lc rgb '#555555' title 'unpaced, n / floor', \
     csv using (scaled(9600)):13 with linespoints lw 2 pt 7 lc rgb '#7b2cbf' title '9600 baud', \
     csv using (scaled(9600)):($4 * 1000 / $15) with lines dt 2 lc rgb '#7b2cbf' title '9600 baud, n / floor', \
     csv using (scaled(19200)):13 with linespoints lw 2 pt 5 lc rgb '#0077b6' title '19200 baud', \
     csv using (scaled(19200)):($4 * 1000 / $15) with lines dt 2 lc rgb '#0077b6' title '19200 baud, n / floor'
