// Writes the Windows program's icon file (packaging/windows/qz670x-mp.ico) from the same drawing
// as the Qt window's icon: one PNG-compressed image per size, as Windows Vista and later read.
//   qz670x-make-windows-icon OUT.ico
#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "app/app_icon.h"

namespace {

void PutWord(QByteArray& out, std::uint16_t value) {
  out.append(static_cast<char>(value & 0xFF));
  out.append(static_cast<char>(value >> 8));
}

void PutDword(QByteArray& out, std::uint32_t value) {
  PutWord(out, static_cast<std::uint16_t>(value & 0xFFFF));
  PutWord(out, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.ico\n", argv[0]);
    return 64;
  }
  QGuiApplication application(argc, argv);
  const std::vector<int> sizes = {16, 24, 32, 48, 64, 256};
  std::vector<QByteArray> images;
  for (int size : sizes) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    qz::app::PaintAppIcon(size).toImage().save(&buffer, "PNG");
    images.push_back(png);
  }

  QByteArray out;
  PutWord(out, 0);  // reserved
  PutWord(out, 1);  // an icon
  PutWord(out, static_cast<std::uint16_t>(sizes.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const int size = sizes[i];
    out.append(static_cast<char>(size == 256 ? 0 : size));  // 0 stands for 256
    out.append(static_cast<char>(size == 256 ? 0 : size));
    out.append('\0');  // no palette
    out.append('\0');
    PutWord(out, 1);   // planes
    PutWord(out, 32);  // bits per pixel
    PutDword(out, static_cast<std::uint32_t>(images[i].size()));
    PutDword(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const QByteArray& image : images) out.append(image);

  QFile file(QString::fromLocal8Bit(argv[1]));
  if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size()) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 74;
  }
  return 0;
}
