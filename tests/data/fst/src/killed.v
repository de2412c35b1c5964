// Dumps a few changes, forces them out with $dumpflush, then hangs until killed:
// the FST file is left without the blocks a writer adds when it closes.
`timescale 1ns/1ps
module killed;
    reg [3:0] n = 0;
    integer spin = 0;
    initial begin
        $dumpfile("dump.fst");
        $dumpvars(0, killed);
        repeat (5) #10 n = n + 1;
        $dumpflush;
        #1 forever spin = spin + 1;
    end
endmodule
