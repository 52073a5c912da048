// The process-wide id table (control id to numeric command id) and tooltip table (control id to
// tooltip text) that skin controls consult. The application fills them when its main window is
// created; tests build private instances. GUI thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <vector>

namespace tessali::skin {

// Fixed records of a 32-bit number and a name of at most 60 characters.
class CSkinIdTable {
public:
    static constexpr int kMaxName = 60;
    static CSkinIdTable& Instance();
    // The number of id; an id not yet in the table is added with the number 0.
    int Lookup(const QString& id);
    void Add(const QString& id, int number);
    void Clear() { m_rows.clear(); }
    // The program's rows (window buttons, menu links, check boxes, ok).
    void FillProgramRows();

private:
    struct Row {
        int32_t number;
        QString name;
    };
    std::vector<Row> m_rows;
};

class CSkinTooltipTable {
public:
    static constexpr int kMaxName = 60;
    static CSkinTooltipTable& Instance();
    // Empty when the id has no row.
    QString Lookup(const QString& id) const;
    void Add(const QString& id, const QString& text);
    void Clear() { m_rows.clear(); }
    void FillProgramRows();

private:
    struct Row {
        QString text;
        QString name;
    };
    std::vector<Row> m_rows;
};

}  // namespace tessali::skin
