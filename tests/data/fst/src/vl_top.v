// Small design for FST fixtures run under Verilator: counter, wide bus, real, aliases
// (a port and the wire it connects to share one signal).
`timescale 1ns/1ps
module vl_top;
    reg clk = 0;
    reg [15:0] cnt = 0;
    reg [71:0] wide = 0;
    real level = 0.0;
    wire [15:0] seen;
    vl_sub u_sub(.clk(clk), .d(cnt), .q(seen));
    always #5 clk = ~clk;
    always @(posedge clk) begin
        cnt <= cnt + 16'd3;
        wide <= {wide[70:0], ~wide[71]};
        level <= level + 0.25;
    end
    initial begin
        $dumpfile("dump.fst");
        $dumpvars(0, vl_top);
        #300 $finish;
    end
endmodule

module vl_sub(input clk, input [15:0] d, output reg [15:0] q);
    always @(posedge clk) q <= d ^ 16'h00ff;
endmodule
