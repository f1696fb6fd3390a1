// Icons drawn on a key colour that becomes their transparent part.
#include "winapp/Pictures.h"

#include <functional>
#include <vector>

namespace flintmoor::win {

namespace {

constexpr COLORREF kKey = RGB(255, 0, 255);

// Draws with `draw` on a size x size canvas filled with the key colour and turns it into an icon
// whose mask hides every pixel still of the key colour.
HICON makeIcon(int size, const std::function<void(HDC)>& draw) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = size;
  bi.bmiHeader.biHeight = -size;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, colour);
  RECT all{0, 0, size, size};
  HBRUSH key = CreateSolidBrush(kKey);
  FillRect(dc, &all, key);
  DeleteObject(key);
  draw(dc);
  GdiFlush();
  SelectObject(dc, old);
  DeleteDC(dc);

  // Mask rows are padded to 16 bits; a set bit is transparent. The colour of a transparent pixel
  // must be black, since the icon is drawn as (screen AND mask) XOR colour.
  const int stride = ((size + 15) / 16) * 2;
  std::vector<unsigned char> mask(static_cast<size_t>(stride * size), 0);
  auto* px = static_cast<DWORD*>(bits);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      DWORD& p = px[y * size + x];
      if ((p & 0xFFFFFF) == 0xFF00FF) {
        mask[static_cast<size_t>(y * stride + x / 8)] |=
            static_cast<unsigned char>(0x80 >> (x % 8));
        p = 0;
      }
    }
  }
  HBITMAP maskBitmap = CreateBitmap(size, size, 1, 1, mask.data());
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = colour;
  info.hbmMask = maskBitmap;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(colour);
  DeleteObject(maskBitmap);
  return icon;
}

void withPenBrush(HDC dc, COLORREF pen, int width, COLORREF brush, const std::function<void()>& f) {
  HPEN p = CreatePen(PS_SOLID, width, pen);
  HBRUSH b = CreateSolidBrush(brush);
  HGDIOBJ oldPen = SelectObject(dc, p);
  HGDIOBJ oldBrush = SelectObject(dc, b);
  f();
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  DeleteObject(p);
  DeleteObject(b);
}

void line(HDC dc, COLORREF colour, int width, int x0, int y0, int x1, int y1) {
  LOGBRUSH lb{BS_SOLID, colour, 0};
  HPEN p = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_ROUND, static_cast<DWORD>(width), &lb,
                        0, nullptr);
  HGDIOBJ old = SelectObject(dc, p);
  MoveToEx(dc, x0, y0, nullptr);
  LineTo(dc, x1, y1);
  SelectObject(dc, old);
  DeleteObject(p);
}

// A disc with one bold white character in its middle.
void discWithSign(HDC dc, COLORREF disc, const wchar_t* sign, int pixels) {
  withPenBrush(dc, RGB(0, 60, 140), 1, disc, [&] { Ellipse(dc, 1, 1, 31, 31); });
  HFONT font = CreateFontW(-pixels, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                           VARIABLE_PITCH | FF_SWISS, L"Arial");
  HGDIOBJ old = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  RECT r{0, 0, 32, 32};
  DrawTextW(dc, sign, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, old);
  DeleteObject(font);
}

void chip(HDC dc, int top, int bottom) {
  withPenBrush(dc, RGB(40, 40, 40), 1, RGB(70, 70, 80), [&] { Rectangle(dc, 4, top, 16, bottom); });
}

}  // namespace

HICON createMsgIcon(int index) {
  switch (index) {
    case 0:
      return makeIcon(32, [](HDC dc) {
        const POINT triangle[3] = {{16, 2}, {30, 29}, {2, 29}};
        withPenBrush(dc, RGB(120, 90, 0), 1, RGB(255, 210, 0), [&] { Polygon(dc, triangle, 3); });
        line(dc, RGB(0, 0, 0), 3, 16, 11, 16, 20);
        line(dc, RGB(0, 0, 0), 3, 16, 25, 16, 25);
      });
    case 1:
      return makeIcon(32, [](HDC dc) {
        withPenBrush(dc, RGB(140, 0, 0), 1, RGB(220, 30, 30), [&] { Ellipse(dc, 1, 1, 31, 31); });
        line(dc, RGB(255, 255, 255), 4, 10, 10, 21, 21);
        line(dc, RGB(255, 255, 255), 4, 21, 10, 10, 21);
      });
    case 2:
      return makeIcon(32, [](HDC dc) { discWithSign(dc, RGB(30, 100, 210), L"i", 24); });
    case 3:
      return makeIcon(32, [](HDC dc) { discWithSign(dc, RGB(30, 100, 210), L"?", 24); });
    default:
      return nullptr;
  }
}

HICON createEraseIcon() {
  return makeIcon(20, [](HDC dc) {
    chip(dc, 3, 17);
    for (int y = 6; y <= 14; y += 4) {
      line(dc, RGB(40, 40, 40), 2, 1, y, 4, y);
      line(dc, RGB(40, 40, 40), 2, 16, y, 18, y);
    }
    line(dc, RGB(210, 20, 20), 3, 3, 3, 16, 16);
    line(dc, RGB(210, 20, 20), 3, 16, 3, 3, 16);
  });
}

HICON createUpdateIcon() {
  return makeIcon(20, [](HDC dc) {
    chip(dc, 12, 19);
    const POINT arrow[7] = {{8, 1}, {12, 1}, {12, 7}, {15, 7}, {10, 12}, {5, 7}, {8, 7}};
    withPenBrush(dc, RGB(0, 90, 0), 1, RGB(30, 170, 30), [&] { Polygon(dc, arrow, 7); });
  });
}

HICON createFolderIcon() {
  return makeIcon(16, [](HDC dc) {
    const POINT back[6] = {{1, 3}, {6, 3}, {8, 5}, {14, 5}, {14, 13}, {1, 13}};
    withPenBrush(dc, RGB(150, 110, 20), 1, RGB(240, 200, 90), [&] { Polygon(dc, back, 6); });
    const POINT front[4] = {{1, 13}, {4, 7}, {15, 7}, {14, 13}};
    withPenBrush(dc, RGB(150, 110, 20), 1, RGB(255, 225, 120), [&] { Polygon(dc, front, 4); });
  });
}

void paintLed(HDC dc, const RECT& box, bool lit) {
  const COLORREF rim = RGB(60, 60, 60);
  withPenBrush(dc, rim, 1, lit ? RGB(40, 220, 40) : RGB(30, 60, 30),
               [&] { Ellipse(dc, box.left + 1, box.top + 1, box.right - 1, box.bottom - 1); });
  // The highlight, up and to the left.
  const int w = box.right - box.left;
  const int h = box.bottom - box.top;
  const int x = box.left + w / 4;
  const int y = box.top + h / 4;
  withPenBrush(dc, lit ? RGB(200, 255, 200) : RGB(90, 120, 90), 1,
               lit ? RGB(200, 255, 200) : RGB(90, 120, 90),
               [&] { Ellipse(dc, x, y, x + w / 4 + 1, y + h / 4 + 1); });
}

}  // namespace flintmoor::win
