// A plug-in that needs a symbol no library defines, so loading it with
// immediate binding fails.
extern "C" void kelmora_symbol_nobody_defines();

extern "C" void tarvok_so_init()
{
    kelmora_symbol_nobody_defines();
}
