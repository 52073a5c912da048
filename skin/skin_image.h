// Picture controls: "pic" (a still image, plain, stretched, tiled or cut to a percentage, which makes
// progress bars) and "gif" (an animated image from the skin folder that advances one frame per
// repaint). GUI thread only.
#pragma once

#include <vector>

#include "skin/skin_ctrl.h"

namespace tessali::skin {

class CSkinImage : public CSkinCtrl {
public:
    CSkinImage() : CSkinCtrl(kKindImage) {}
    void Draw(QPainter& g) override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    int Percent() const { return m_percent; }
    int Offset() const { return m_offset; }
    // A picture cut to a percentage is a progress bar; other pictures are decoration.
    QAccessible::Role AccessibleRole() const override {
        return m_isProgress ? QAccessible::ProgressBar : QAccessible::NoRole;
    }
    double AccessibleValue() const override { return m_percent; }

private:
    bool m_isProgress = false;
    int m_percent = 100;
    int m_offset = 0;
};

class CSkinGif : public CSkinCtrl {
public:
    // Bounds on what one animated file may make us hold.
    static constexpr int kMaxFrames = 512;
    static constexpr qint64 kMaxPixels = 32ll * 1024 * 1024;

    CSkinGif() : CSkinCtrl(kKindGif) {}
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    void Draw(QPainter& g) override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    int FrameCount() const { return static_cast<int>(m_frames.size()); }
    int SelectedFrame() const { return m_selected; }

private:
    std::vector<QImage> m_frames;
    int m_selected = 0;
    int m_counter = 0;
};

}  // namespace tessali::skin
