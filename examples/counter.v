// A small design for the example dump: a counter with enable, a handshake and a tiny FSM.
`timescale 1ns/1ps
module counter #(parameter W = 8) (
    input  wire         clk,
    input  wire         rst,
    input  wire         en,
    output reg  [W-1:0] count,
    output reg          valid,
    input  wire         ready,
    output reg  [1:0]   state
);
    localparam IDLE = 2'd0, RUN = 2'd1, DONE = 2'd2;
    always @(posedge clk) begin
        if (rst) begin
            count <= 0;
            valid <= 0;
            state <= IDLE;
        end else begin
            case (state)
                IDLE: if (en) state <= RUN;
                RUN: begin
                    if (en) count <= count + 1;
                    valid <= count[1:0] == 2'b11;
                    if (count == 8'd40) state <= DONE;
                end
                DONE: begin
                    valid <= 0;
                    if (!en) state <= IDLE;
                end
                default: state <= IDLE;
            endcase
        end
    end
endmodule

module tb;
    reg clk = 0, rst = 1, en = 0, ready = 0;
    reg [7:0] data_bus;          // x until driven
    wire [7:0] count;
    wire valid;
    wire [1:0] state;
    real temperature = 25.0;
    counter #(.W(8)) dut (.clk(clk), .rst(rst), .en(en), .count(count), .valid(valid),
                          .ready(ready), .state(state));
    always #5 clk = ~clk;
    always @(posedge clk) begin
        ready <= $random % 2;
        temperature <= temperature + 0.25;
    end
    initial begin
        $dumpfile("counter.vcd");
        $dumpvars(0, tb);
        #12 rst = 0;
        #10 en = 1;
        data_bus = 8'hzz;
        #100 data_bus = 8'hA5;
        #300 en = 0;
        #60 en = 1;
        #100 $finish;
    end
endmodule
