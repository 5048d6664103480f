/* The zero record that ends the table of delay-import descriptors. dlltool's
 * delay-load libraries put one descriptor each into .text$2 and GNU ld sorts
 * .text$3 right after them, so the build can point the image's delay-import
 * directory at a proper, terminated table. Only for mingw-w64: MSVC's linker
 * writes its own table. */
#if defined(__GNUC__)
__attribute__((section(".text$3"), used, aligned(16))) static const unsigned char kDelayImportEnd[32] = {0};
#endif
