// CSkinSelectVersionDlg: the modal dialog in which the user ticks the manifest entries to download
// (up to four rows). It warns when the full client and patches are ticked together and refuses OK
// while the ticked files do not fit in the free space. The caller reads the rows back after OK.
// GUI thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "skin/skin_dialog.h"

namespace tessali::app {

struct VersionRow {
    int checked = 0;
    QString displayName;
    int64_t size = 0;
    int progress = 0;  // percent already downloaded
    QString hash;
    int complete = 0;
    int redshow = 0;
    QString description;
    QString path;  // the final file in the working folder
};

class CSkinSelectVersionDlg : public skin::CSkinDialog {
public:
    static constexpr int kMaxRows = 4;
    static constexpr int kWidth = 520;
    static constexpr int kHeight = 260;

    CSkinSelectVersionDlg(std::vector<VersionRow> rows, int64_t freeBytes, QWidget* owner = nullptr);

    std::vector<VersionRow>& Rows() { return m_rows; }
    const std::vector<int>& OpeningStates() const { return m_opening; }
    bool FirstSelection() const { return m_firstSelection; }
    bool FullClientTicked() const { return m_fullClientTicked; }
    // Row i (1-based) toggled, as a click on "check<i>" does.
    void Toggle(int row);

    void LoadSkin() override;
    void OnSkinLoaded() override;
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override;

private:
    void SetState(const QString& text);
    bool PatchTicked() const;

    std::vector<VersionRow> m_rows;
    std::vector<int> m_opening;
    int64_t m_freeBytes;
    bool m_firstSelection = false;
    bool m_fullClientTicked = false;
    QString m_fullClientDescription;
};

}  // namespace tessali::app
