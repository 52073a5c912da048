#include "skin/skin_image.h"

#include <QImageReader>
#include <QtMath>

#include "skin/skin_reader.h"

namespace tessali::skin {

// ---- CSkinImage ----

void CSkinImage::Draw(QPainter& g) {
    if (!m_shown)
        return;
    if (m_image.isNull()) {
        DrawChildren(g);
        return;
    }
    const int iw = m_image.width();
    const int ih = m_image.height();
    // Rectangles below are in 1x pixels; the 2x picture's are s times larger.
    const CArt art = PickArt(m_image, m_image2x, g);
    const int s = art.scale;
    const bool hTile = m_anchor & kAnchorHTile;
    const bool vTile = m_anchor & kAnchorVTile;
    const bool hStretch = m_anchor & kAnchorHStretch;
    const bool vStretch = m_anchor & kAnchorVStretch;
    if (hTile && vTile) {
        for (int top = 0; top < m_height; top += ih) {
            const int rowHeight = std::min(ih, m_height - top);
            for (int left = 0; left < m_width; left += iw) {
                const int cw = std::min(iw, m_width - left);
                g.drawImage(QRect(m_x + left, m_y + top, cw, rowHeight), art.image,
                            QRect(0, 0, cw * s, rowHeight * s));
            }
        }
    } else if (hTile) {
        for (int left = 0; left < m_width; left += iw) {
            const int cw = std::min(iw, m_width - left);
            g.drawImage(QRect(m_x + left, m_y, cw, m_height), art.image, QRect(0, 0, cw * s, ih * s));
        }
    } else if (vTile) {
        for (int top = 0; top < m_height; top += ih) {
            const int ch = std::min(ih, m_height - top);
            g.drawImage(QRect(m_x, m_y + top, m_width, ch), art.image, QRect(0, 0, iw * s, ch * s));
        }
    } else if (hStretch || vStretch) {
        // The source is one pixel short along a stretched direction, which keeps the scaled edge
        // from sampling beyond the image.
        g.drawImage(QRect(m_x, m_y, m_width, m_height), art.image,
                    QRect(0, 0, (iw - (hStretch ? 1 : 0)) * s, (ih - (vStretch ? 1 : 0)) * s));
    } else {
        const int dw = m_width * m_percent / 100;
        const int sw = iw * m_percent / 100;
        if (dw > 0 && sw > 0)
            g.drawImage(QRect(m_x + m_offset, m_y, dw, m_height), art.image, QRect(0, 0, sw * s, ih * s));
    }
    DrawChildren(g);
}

intptr_t CSkinImage::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    const int v = static_cast<int>(value.number);
    if (name == QLatin1String("percent")) {
        m_percent = std::clamp(v, 0, 100);
        m_isProgress = true;
    } else if (name == QLatin1String("posx_percent")) {
        const int parentWidth = m_lastParentWidth == kNoSize ? 0 : m_lastParentWidth;
        m_offset = static_cast<int>(v / 100.0 * parentWidth);
    } else if (name == QLatin1String("show")) {
        m_shown = v;
    } else if (name == QLatin1String("imagepath")) {
        const QString path = value.text.isEmpty() ? value.source.image : value.text;
        m_image = LoadImageFile(path);
        m_image2x = LoadImageFile2x(path, m_image);
    } else if (name == QLatin1String("HBITMAP")) {
        m_image = value.bitmap.isNull() ? QImage() : value.bitmap.convertToFormat(QImage::Format_ARGB32);
        m_image2x = QImage();
    } else if (name == QLatin1String("getwidth")) {
        return m_image.isNull() ? 0 : m_image.width();
    }
    return 0;
}

// ---- CSkinGif ----

int CSkinGif::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    if (!CSkinCtrl::LoadFromNode(e, owner))
        return 0;
    m_frames.clear();
    m_selected = 0;
    m_counter = 0;
    const QString file = ReadText("gif", e);
    if (file.isEmpty())
        return 1;
    QImageReader reader(CSkinPaths::Instance().SkinFile(file));
    qint64 pixels = 0;
    while (static_cast<int>(m_frames.size()) < kMaxFrames) {
        QImage frame = reader.read();
        if (frame.isNull())
            break;
        pixels += qint64{frame.width()} * frame.height();
        if (pixels > kMaxPixels)
            break;
        m_frames.push_back(frame.convertToFormat(QImage::Format_ARGB32));
        if (!reader.canRead())
            break;
    }
    return 1;
}

void CSkinGif::Draw(QPainter& g) {
    if (!m_shown || m_width <= 0 || m_height <= 0)
        return;
    // The canvas has the surface's density, so the children's text stays sharp on scaled screens.
    const qreal ratio = SurfaceRatio(g);
    QImage canvas(qCeil(m_width * ratio), qCeil(m_height * ratio), QImage::Format_ARGB32);
    canvas.setDevicePixelRatio(ratio);
    canvas.fill(Qt::transparent);
    {
        QPainter p(&canvas);
        if (ratio != 1.0)
            p.setRenderHint(QPainter::SmoothPixmapTransform);
        if (!m_frames.empty())
            p.drawImage(0, 0, m_frames[m_selected]);
        // Select the frame for the next repaint: the animation advances only when the window repaints.
        if (!m_frames.empty()) {
            m_selected = m_counter;
            if (++m_counter >= static_cast<int>(m_frames.size()))
                m_counter = 0;
        }
        for (CSkinCtrl* child : m_children) {
            if (!IsEmbeddedWindowKind(child->GetKind()))
                child->Draw(p);
        }
    }
    g.drawImage(QRect(m_x, m_y, m_width, m_height), canvas);
}

intptr_t CSkinGif::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("show"))
        m_shown = static_cast<int>(value.number);
    return 0;
}

}  // namespace tessali::skin
