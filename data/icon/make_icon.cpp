// Draws Tolvane's icon at build time: the scalable SVG and the PNG sizes of the hicolor theme,
// all from the one list of shapes below, so the sizes cannot drift apart.
//
//   make_icon <icon name> <hicolor folder> <size>...
// writes <hicolor folder>/scalable/apps/<icon name>.svg and <size>x<size>/apps/<icon name>.png.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCanvas = 256;

// One filled shape on the 256 x 256 canvas: a rectangle with rounded corners (radius 0 for a
// plain one), a circle, or a polygon.
struct Shape {
  enum Kind { Box, Circle, Polygon } kind;
  const char *color;
  std::vector<double> v;  // Box: x y w h radius; Circle: cx cy r; Polygon: x y x y ...
};

// A lift car's doors under its up and down arrows on a blue tile, with the alarm's badge.
const std::vector<Shape> kShapes = {
    {Shape::Box, "#1d4e89", {16, 16, 224, 224, 44}},
    {Shape::Polygon, "#ffffff", {86, 62, 106, 34, 126, 62}},
    {Shape::Polygon, "#ffffff", {130, 34, 170, 34, 150, 62}},
    {Shape::Box, "#0f2f55", {52, 74, 152, 150, 6}},
    {Shape::Box, "#e9eff6", {60, 82, 66, 142, 2}},
    {Shape::Box, "#e9eff6", {130, 82, 66, 142, 2}},
    {Shape::Circle, "#ffffff", {192, 192, 46}},
    {Shape::Circle, "#f08c1a", {192, 192, 38}},
    {Shape::Box, "#ffffff", {186, 164, 12, 36, 5}},
    {Shape::Circle, "#ffffff", {192, 214, 7}},
};

QString svg() {
  QString out = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                    "viewBox=\"0 0 %1 %1\">\n")
                    .arg(kCanvas);
  for (const Shape &s : kShapes) {
    switch (s.kind) {
      case Shape::Box:
        out += QStringLiteral(
                   "  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\" fill=\"%6\"/>\n")
                   .arg(s.v[0])
                   .arg(s.v[1])
                   .arg(s.v[2])
                   .arg(s.v[3])
                   .arg(s.v[4])
                   .arg(QLatin1String(s.color));
        break;
      case Shape::Circle:
        out += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>\n")
                   .arg(s.v[0])
                   .arg(s.v[1])
                   .arg(s.v[2])
                   .arg(QLatin1String(s.color));
        break;
      case Shape::Polygon: {
        QStringList points;
        for (std::size_t i = 0; i + 1 < s.v.size(); i += 2)
          points << QStringLiteral("%1,%2").arg(s.v[i]).arg(s.v[i + 1]);
        out += QStringLiteral("  <polygon points=\"%1\" fill=\"%2\"/>\n")
                   .arg(points.join(QLatin1Char(' ')), QLatin1String(s.color));
        break;
      }
    }
  }
  return out + QStringLiteral("</svg>\n");
}

QImage png(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(double(size) / kCanvas, double(size) / kCanvas);
  painter.setPen(Qt::NoPen);
  for (const Shape &s : kShapes) {
    painter.setBrush(QColor(QLatin1String(s.color)));
    switch (s.kind) {
      case Shape::Box:
        painter.drawRoundedRect(QRectF(s.v[0], s.v[1], s.v[2], s.v[3]), s.v[4], s.v[4]);
        break;
      case Shape::Circle:
        painter.drawEllipse(QPointF(s.v[0], s.v[1]), s.v[2], s.v[2]);
        break;
      case Shape::Polygon: {
        QPolygonF polygon;
        for (std::size_t i = 0; i + 1 < s.v.size(); i += 2) polygon << QPointF(s.v[i], s.v[i + 1]);
        painter.drawPolygon(polygon);
        break;
      }
    }
  }
  painter.end();
  return image;
}

bool writeFile(const QString &path, const QByteArray &bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <icon name> <hicolor folder> <size>...\n", argv[0]);
    return 2;
  }
  const QString name = QString::fromLocal8Bit(argv[1]);
  const QString folder = QString::fromLocal8Bit(argv[2]);
  if (!writeFile(folder + "/scalable/apps/" + name + ".svg", svg().toUtf8())) {
    std::fprintf(stderr, "%s: cannot write the SVG icon\n", argv[0]);
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    const int size = QString::fromLocal8Bit(argv[i]).toInt();
    const QString path = QStringLiteral("%1/%2x%2/apps/%3.png").arg(folder).arg(size).arg(name);
    QDir().mkpath(QFileInfo(path).path());
    if (size <= 0 || !png(size).save(path, "PNG")) {
      std::fprintf(stderr, "%s: cannot write the %s icon\n", argv[0], argv[i]);
      return 1;
    }
  }
  return 0;
}
