// Small design for FST fixtures: clock, counter with an x start, a tri-state bus,
// a wide shift register, a real, a sub-module, and a mid-run flush that starts a new section.
`timescale 1ns/1ps
module top;
    reg clk = 0;
    reg [7:0] cnt;
    reg [99:0] wide;
    reg [3:0] nib;
    reg en;
    real level;
    wire [3:0] bus;
    assign bus = en ? nib : 4'bz;
    sub u_sub(.clk(clk), .d(cnt[2:0]));
    always #5 clk = ~clk;
    initial begin
        $dumpfile("dump.fst");
        $dumpvars(0, top);
        cnt = 8'bx;
        wide = 100'h0;
        nib = 4'b1x0z;
        level = 0.0;
        en = 0;
        #12 cnt = 0;
        en = 1;
        repeat (40) begin
            @(posedge clk);
            cnt <= cnt + 1;
            wide <= {wide[98:0], ~wide[99]} ^ {cnt, 92'h0};
            level = level + 1.5;
            nib <= nib + 1;
            if (cnt == 20) $dumpflush;
        end
        en = 0;
        #3 $finish;
    end
endmodule

module sub(input clk, input [2:0] d);
    reg [2:0] q;
    always @(posedge clk) q <= d;
endmodule
