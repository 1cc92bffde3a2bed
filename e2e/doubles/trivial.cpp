// The smallest Windows program: the yardstick for how long Wine takes to
// start and end a process, against which the tool's own run time is given.
int main() { return 0; }
