// The plotting font (Inter 4.001, SIL Open Font License 1.1; see
// assets/fonts/OFL.txt), embedded whole so that plots render identically on
// every machine. The path is resolved through the include path, which holds the
// source root.
    .section .rodata
    .balign 16
    .globl tarvelo_plot_font_begin
    .hidden tarvelo_plot_font_begin
    .type tarvelo_plot_font_begin, @object
tarvelo_plot_font_begin:
    .incbin "assets/fonts/InterVariable.ttf"
    .globl tarvelo_plot_font_end
    .hidden tarvelo_plot_font_end
    .type tarvelo_plot_font_end, @object
tarvelo_plot_font_end:
    .byte 0
    .size tarvelo_plot_font_begin, tarvelo_plot_font_end - tarvelo_plot_font_begin

    .section .note.GNU-stack,"",@progbits
