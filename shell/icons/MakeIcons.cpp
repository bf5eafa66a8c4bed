// Draws the four programs' icons and writes them as .ico files:
//   Dunmere.ico, Quarrow.ico: 32 x 32 and 16 x 16, 16 colours (the standard palette);
//   Solvane.ico, Tirell.ico:  one 16 x 16 true-colour image.
// Each shows a chip with pins and the tool's sign: Dunmere a red cross (erase),
// Quarrow a bar filling the chip (whole flash), Solvane a green arrow into the chip
// (update), Tirell the same arrow in orange. Outside the drawing is transparent.
//
//   MakeIcons OUTPUT_DIR       writes the four files (the committed ones come from here)
//
// Plain standard C++, so that it builds on the build machine; a native test checks that
// the committed files are what this program draws.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

// The 16-colour palette of the small icons (the standard VGA colours).
const Rgb PALETTE16[16] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

const Rgb BLACK{0, 0, 0}, DARK_GREY{128, 128, 128}, SILVER{192, 192, 192}, WHITE{255, 255, 255};
const Rgb NAVY{0, 0, 128}, RED{255, 0, 0}, GREEN{0, 160, 0}, ORANGE{255, 140, 0}, YELLOW{255, 255, 0};

enum class Sign { Cross, Bar, ArrowGreen, ArrowOrange };

// One pixel of the drawing at (x, y) of a size x size image; false: transparent.
bool Pixel(Sign sign, int size, int x, int y, Rgb& colour)
{
    const int unit = size / 16;              // 1 for 16 x 16, 2 for 32 x 32
    const int ux = x / unit, uy = y / unit;  // position in a 16 x 16 grid
    // Pins: on the left and right edges, every other row of the chip's height.
    const bool pinRow = uy >= 3 && uy <= 12 && (uy % 2) == 1;
    if ((ux <= 1 || ux >= 14) && pinRow) {
        colour = SILVER;
        return true;
    }
    if (ux < 2 || ux > 13 || uy < 2 || uy > 13)
        return false;
    // The chip body with a one-unit dark edge and a notch at the top.
    if (ux == 2 || ux == 13 || uy == 2 || uy == 13) {
        colour = (uy == 2 && ux >= 7 && ux <= 8) ? WHITE : DARK_GREY;
        return true;
    }
    colour = NAVY;
    switch (sign) {
    case Sign::Cross:
        if (ux - uy == 0 || ux + uy == 15)
            colour = RED;
        break;
    case Sign::Bar:
        if (uy >= 6 && uy <= 9 && ux >= 4 && ux <= 11)
            colour = (ux <= 9) ? YELLOW : WHITE;
        break;
    case Sign::ArrowGreen:
    case Sign::ArrowOrange: {
        const Rgb ink = sign == Sign::ArrowGreen ? GREEN : ORANGE;
        // A shaft down the middle and a head pointing down.
        if ((ux == 7 || ux == 8) && uy >= 4 && uy <= 8)
            colour = ink;
        int spread = 11 - uy;  // rows 9..11: head 3..1 units each side
        if (uy >= 9 && uy <= 11 && ux >= 7 - spread && ux <= 8 + spread)
            colour = ink;
        break;
    }
    }
    return true;
}

int NearestPaletteIndex(Rgb colour)
{
    int best = 0;
    long bestDistance = -1;
    for (int i = 0; i < 16; ++i) {
        long dr = colour.r - PALETTE16[i].r, dg = colour.g - PALETTE16[i].g, db = colour.b - PALETTE16[i].b;
        long distance = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

void Put16(std::vector<std::uint8_t>& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void Put32(std::vector<std::uint8_t>& out, unsigned value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// One icon image: BITMAPINFOHEADER, palette, colour bits, mask bits (rows bottom-up).
std::vector<std::uint8_t> IconImage(Sign sign, int size, int bitCount)
{
    std::vector<std::uint8_t> image;
    const int colourRow = ((size * bitCount + 31) / 32) * 4;
    const int maskRow = ((size + 31) / 32) * 4;
    Put32(image, 40);
    Put32(image, static_cast<unsigned>(size));
    Put32(image, static_cast<unsigned>(size * 2));  // colour and mask
    Put16(image, 1);
    Put16(image, static_cast<unsigned>(bitCount));
    Put32(image, 0);  // BI_RGB
    Put32(image, static_cast<unsigned>((colourRow + maskRow) * size));
    Put32(image, 0);
    Put32(image, 0);
    Put32(image, bitCount == 4 ? 16 : 0);
    Put32(image, 0);
    if (bitCount == 4)
        for (const Rgb& c : PALETTE16) {
            image.push_back(c.b);
            image.push_back(c.g);
            image.push_back(c.r);
            image.push_back(0);
        }
    std::vector<std::uint8_t> colours, mask;
    for (int row = size - 1; row >= 0; --row) {
        std::vector<std::uint8_t> colourLine(static_cast<std::size_t>(colourRow), 0);
        std::vector<std::uint8_t> maskLine(static_cast<std::size_t>(maskRow), 0);
        for (int x = 0; x < size; ++x) {
            Rgb colour{};
            bool opaque = Pixel(sign, size, x, row, colour);
            if (!opaque) {
                colour = BLACK;
                maskLine[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
            if (bitCount == 4) {
                int index = NearestPaletteIndex(colour);
                colourLine[static_cast<std::size_t>(x / 2)] |=
                    static_cast<std::uint8_t>((x % 2) == 0 ? index << 4 : index);
            } else {
                std::size_t at = static_cast<std::size_t>(x) * 3;
                colourLine[at] = colour.b;
                colourLine[at + 1] = colour.g;
                colourLine[at + 2] = colour.r;
            }
        }
        colours.insert(colours.end(), colourLine.begin(), colourLine.end());
        mask.insert(mask.end(), maskLine.begin(), maskLine.end());
    }
    image.insert(image.end(), colours.begin(), colours.end());
    image.insert(image.end(), mask.begin(), mask.end());
    return image;
}

struct Entry {
    int size;
    int bitCount;
};

std::vector<std::uint8_t> IconFile(Sign sign, const std::vector<Entry>& entries)
{
    std::vector<std::vector<std::uint8_t>> images;
    for (const Entry& e : entries)
        images.push_back(IconImage(sign, e.size, e.bitCount));
    std::vector<std::uint8_t> file;
    Put16(file, 0);
    Put16(file, 1);  // icon
    Put16(file, static_cast<unsigned>(entries.size()));
    unsigned offset = 6 + 16 * static_cast<unsigned>(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        file.push_back(static_cast<std::uint8_t>(entries[i].size));
        file.push_back(static_cast<std::uint8_t>(entries[i].size));
        file.push_back(entries[i].bitCount == 4 ? 16 : 0);
        file.push_back(0);
        Put16(file, 1);
        Put16(file, static_cast<unsigned>(entries[i].bitCount));
        Put32(file, static_cast<unsigned>(images[i].size()));
        Put32(file, offset);
        offset += static_cast<unsigned>(images[i].size());
    }
    for (const auto& image : images)
        file.insert(file.end(), image.begin(), image.end());
    return file;
}

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<Entry> small16 = {{32, 4}, {16, 4}};
    const std::vector<Entry> trueColour = {{16, 24}};
    bool ok = Write(dir + "/Dunmere.ico", IconFile(Sign::Cross, small16)) &&
              Write(dir + "/Quarrow.ico", IconFile(Sign::Bar, small16)) &&
              Write(dir + "/Solvane.ico", IconFile(Sign::ArrowGreen, trueColour)) &&
              Write(dir + "/Tirell.ico", IconFile(Sign::ArrowOrange, trueColour));
    if (!ok) {
        std::fprintf(stderr, "%s: cannot write the icons to %s\n", argv[0], dir.c_str());
        return 1;
    }
    return 0;
}
