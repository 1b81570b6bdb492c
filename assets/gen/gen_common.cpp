#include "assets/gen/gen_common.h"
#include "os/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

GenArgs gen_parse_args(int argc, char** argv, const char* program, const char* file_name,
                       const char* what) {
    GenArgs args = {nullptr, 2, false};
    const char* output = nullptr;
    bool bad = false;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            printf("usage: %s [-v] [-o] FILE\n\n%s\nThe committed copy is assets/%s;\n"
                   "'cmake --build BUILD --target regen-assets' rewrites it.\n\n"
                   "  -o FILE   file to write (replaced atomically)\n"
                   "  -v        print figures of the result on stderr\n",
                   program, what, file_name);
            args.exit_status = 0;
            return args;
        } else if (!strcmp(a, "-v")) {
            args.verbose = true;
        } else if (!strcmp(a, "-o") && i + 1 < argc && !output) {
            output = argv[++i];
        } else if (a[0] != '-' && !output) {
            output = a;
        } else {
            bad = true;
        }
    }
    if (bad || !output) {
        fprintf(stderr, "usage: %s [-v] [-o] FILE   (see --help)\n", program);
        return args;
    }
    args.output = output;
    return args;
}

bool gen_write_file(const char* program, const char* path, const std::vector<uint8_t>& bytes) {
    OutFile out{};
    std::string error;
    bool ok = outfile_open(&out, path, &error);
    if (ok && fwrite(bytes.data(), 1, bytes.size(), out.file) != bytes.size()) {
        error = strerror(errno ? errno : EIO);
        outfile_discard(&out);
        ok = false;
    } else if (ok) {
        ok = outfile_commit(&out, &error);
    }
    if (!ok) fprintf(stderr, "%s: %s: %s\n", program, path, error.c_str());
    return ok;
}

std::vector<uint8_t> gen_tga(uint8_t image_type, int width, int height, int bits_per_pixel,
                             const std::vector<uint8_t>& pixels) {
    const char sig[] = "TRUEVISION-XFILE."; // written with its terminating zero
    std::vector<uint8_t> out(TGA_HEADER_SIZE + pixels.size() + TGA_FOOTER_SIZE, 0);
    out[2] = image_type;
    out[12] = uint8_t(width);
    out[13] = uint8_t(width >> 8);
    out[14] = uint8_t(height);
    out[15] = uint8_t(height >> 8);
    out[16] = uint8_t(bits_per_pixel);
    out[17] = TGA_DESCRIPTOR_BOTTOM_LEFT_8;
    for (size_t i = 0; i < pixels.size(); i++) out[TGA_HEADER_SIZE + i] = pixels[i];
    // Footer: extension and developer area offsets (none, zero), then the signature.
    size_t footer = TGA_HEADER_SIZE + pixels.size();
    for (size_t i = 0; i < sizeof sig; i++) out[footer + 8 + i] = uint8_t(sig[i]);
    return out;
}
