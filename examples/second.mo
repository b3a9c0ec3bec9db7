; network of the second model (dropped)
N 1 a 0 0
N 2 b 1 0
N 3 c 2 0
L 1 2 0.2
L 2 3 0.2
@3 behaviour
B pump on  t=0
B valve open t=5
B pump off t=60
B valve closed t=65
E end
