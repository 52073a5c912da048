#include <QFileInfo>

#include "app/window/select_version_dlg.h"
#include "app/window/texts.h"

namespace tessali::app {
namespace {

constexpr int kNotifyClose = 104;
constexpr int kNotifyFirstCheck = 118;
constexpr int kNotifyOk = 122;

bool IsPatch(const VersionRow& row) {
    return !row.complete && !row.redshow;
}

}  // namespace

CSkinSelectVersionDlg::CSkinSelectVersionDlg(std::vector<VersionRow> rows, int64_t freeBytes, QWidget* owner)
    : CSkinDialog(QStringLiteral("SelectVersionDlg"), owner),
      m_rows(std::move(rows)),
      m_freeBytes(freeBytes) {
    setModal(true);
    // The dialog is frameless; the title is what the task switcher and screen readers name it by.
    setWindowTitle(QStringLiteral("选择下载内容"));
    resize(kWidth, kHeight);
    bool any = false;
    for (const VersionRow& row : m_rows) any |= row.checked != 0;
    if (!any) {
        m_firstSelection = true;
        for (VersionRow& row : m_rows) {
            if (row.complete || row.redshow)
                row.checked = 1;
        }
    }
    for (const VersionRow& row : m_rows) m_opening.push_back(row.checked);
    for (const VersionRow& row : m_rows) {
        if (row.complete && row.checked) {
            m_fullClientTicked = true;
            m_fullClientDescription = row.description;
        }
    }
}

void CSkinSelectVersionDlg::LoadSkin() {
    LoadBuiltinSkin();
}

bool CSkinSelectVersionDlg::PatchTicked() const {
    for (const VersionRow& row : m_rows) {
        if (IsPatch(row) && row.checked)
            return true;
    }
    return false;
}

void CSkinSelectVersionDlg::SetState(const QString& text) {
    if (skin::CSkinCtrl* state = FindChild(QStringLiteral("state")))
        state->SetProperty(QStringLiteral("text"), text);
}

void CSkinSelectVersionDlg::OnSkinLoaded() {
    const int shown = std::min<int>(static_cast<int>(m_rows.size()), kMaxRows);
    for (int i = 1; i <= shown; ++i) {
        const VersionRow& row = m_rows[i - 1];
        if (skin::CSkinCtrl* box = FindChild(QStringLiteral("check%1").arg(i))) {
            box->SetProperty(QStringLiteral("show"), 1);
            box->SetProperty(QStringLiteral("text"), row.displayName);
            box->SetProperty(QStringLiteral("redshow"), row.redshow ? 1 : 0);
            box->SetProperty(QStringLiteral("change"), row.checked ? 1 : 0);
        }
        if (skin::CSkinCtrl* size = FindChild(QStringLiteral("size%1").arg(i))) {
            size->SetProperty(QStringLiteral("show"), 1);
            size->SetProperty(QStringLiteral("text"), FormatDialogSize(row.size));
            size->SetProperty(QStringLiteral("redshow"), row.redshow ? 1 : 0);
        }
        if (skin::CSkinCtrl* progress = FindChild(QStringLiteral("progress%1").arg(i))) {
            progress->SetProperty(QStringLiteral("show"), 1);
            progress->SetProperty(QStringLiteral("text"), QString::asprintf("%d%%", row.progress));
            progress->SetProperty(QStringLiteral("redshow"), row.redshow ? 1 : 0);
        }
    }
    if (m_fullClientTicked)
        SetState(PatchTicked() ? QString() : m_fullClientDescription);
}

void CSkinSelectVersionDlg::Toggle(int i) {
    if (i < 1 || i > std::min<int>(static_cast<int>(m_rows.size()), kMaxRows))
        return;
    VersionRow& row = m_rows[i - 1];
    row.checked = !row.checked;
    if (row.complete)
        m_fullClientTicked = row.checked != 0;
    QString text;
    if (m_fullClientTicked) {
        text = m_fullClientDescription;
        if (PatchTicked())
            text = QStringLiteral("已选择完整客户端，不建议再下载补丁");
    }
    // A partly downloaded file already holds its space.
    int64_t required = 0;
    for (const VersionRow& r : m_rows) {
        if (r.checked && !QFileInfo::exists(r.path + QStringLiteral(".!mt")))
            required += r.size;
    }
    skin::CSkinCtrl* ok = FindChild(QStringLiteral("ok"));
    if (m_freeBytes >= required) {
        if (ok)
            ok->SetProperty(QStringLiteral("enable"), 1);
    } else {
        if (ok)
            ok->SetProperty(QStringLiteral("enable"), 0);
        text = QStringLiteral("磁盘空间不足");
    }
    SetState(text);
    Paint();
}

intptr_t CSkinSelectVersionDlg::OnSkinNotify(int code, intptr_t first, intptr_t second) {
    if (code == kNotifyClose) {
        EndDialog(0);
    } else if (code >= kNotifyFirstCheck && code < kNotifyFirstCheck + kMaxRows) {
        Toggle(code - kNotifyFirstCheck + 1);
    } else if (code == kNotifyOk) {
        EndDialog(1);
    }
    return 0;
}

}  // namespace tessali::app
