; network of a small pump model
N 1 inlet  0.0 0.0
N 2 pump   1.0 0.0
N 3 valve  2.0 0.0
N 4 outlet 3.0 0.0
L 1 2 0.15
L 2 3 0.15
L 3 4 0.10
@3 behaviour (first model, replaced)
B pump off
B valve closed
E end
