#include "skin/skin_tables.h"

namespace tessali::skin {

CSkinIdTable& CSkinIdTable::Instance() {
    static CSkinIdTable table;
    return table;
}

int CSkinIdTable::Lookup(const QString& id) {
    QString name = id.left(kMaxName);
    for (const Row& row : m_rows) {
        if (row.name == name)
            return row.number;
    }
    m_rows.push_back({0, name});
    return 0;
}

void CSkinIdTable::Add(const QString& id, int number) {
    QString name = id.left(kMaxName);
    for (Row& row : m_rows) {
        if (row.name == name) {
            row.number = number;
            return;
        }
    }
    m_rows.push_back({number, name});
}

void CSkinIdTable::FillProgramRows() {
    static const struct {
        const char* name;
        int number;
    } kRows[] = {
        {"min", 103},     {"close", 104},   {"menubtn", 105},   {"logo", 106},  {"gobtn", 107},
        {"stopbtn", 108}, {"openbtn", 109}, {"modifybtn", 110}, {"menu1", 111}, {"menu2", 112},
        {"menu3", 113},   {"menu4", 114},   {"menu5", 115},     {"menu6", 116}, {"check1", 118},
        {"check2", 119},  {"check3", 120},  {"check4", 121},    {"ok", 122},
    };
    for (const auto& row : kRows) Add(QString::fromLatin1(row.name), row.number);
}

CSkinTooltipTable& CSkinTooltipTable::Instance() {
    static CSkinTooltipTable table;
    return table;
}

QString CSkinTooltipTable::Lookup(const QString& id) const {
    QString name = id.left(kMaxName);
    for (const Row& row : m_rows) {
        if (row.name == name)
            return row.text;
    }
    return QString();
}

void CSkinTooltipTable::Add(const QString& id, const QString& text) {
    QString name = id.left(kMaxName);
    for (Row& row : m_rows) {
        if (row.name == name) {
            row.text = text;
            return;
        }
    }
    m_rows.push_back({text, name});
}

void CSkinTooltipTable::FillProgramRows() {
    Add(QStringLiteral("min"), QStringLiteral("最小化"));
    Add(QStringLiteral("close"), QStringLiteral("关闭"));
    Add(QStringLiteral("menubtn"), QStringLiteral("程序菜单"));
}

}  // namespace tessali::skin
