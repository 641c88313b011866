#include "yamlread.h"

#include <QStringList>

#include <algorithm>

namespace kr7::bridge::yamlread {

void fail(const YAML::Mark &mark, const QString &message) {
    // yaml-cpp counts from 0, and marks a node it made up (a missing value) with -1.
    throw Failure{{mark.line >= 0 ? mark.line + 1 : 0, mark.column >= 0 ? mark.column + 1 : 0, message}};
}

QString text(const std::string &s) {
    return QString::fromStdString(s);
}

std::map<std::string, YAML::Node> keysOf(const YAML::Node &map, const QString &what,
                                         std::initializer_list<const char *> known) {
    if (!map.IsMap())
        fail(map.Mark(), QStringLiteral("%1: a map of keys is expected").arg(what));
    std::map<std::string, YAML::Node> found;
    std::map<std::string, int> lineOf;
    for (auto it = map.begin(); it != map.end(); ++it) {
        const YAML::Node key = it->first; // a copy: the iterator hands out a temporary pair
        if (!key.IsScalar())
            fail(key.Mark(), QStringLiteral("%1: keys are plain words").arg(what));
        const std::string name = key.Scalar();
        if (std::find_if(known.begin(), known.end(), [&](const char *k) { return name == k; }) ==
            known.end()) {
            QStringList names;
            for (const char *k : known)
                names << QString::fromLatin1(k);
            fail(key.Mark(), QStringLiteral("%1: unknown key '%2' (known: %3)")
                                 .arg(what, text(name), names.join(QStringLiteral(", "))));
        }
        if (lineOf.count(name))
            fail(key.Mark(), QStringLiteral("%1: '%2' is given twice (first on line %3)")
                                 .arg(what, text(name))
                                 .arg(lineOf[name]));
        lineOf[name] = key.Mark().line + 1;
        found[name] = it->second;
    }
    return found;
}

QString scalar(const YAML::Node &node, const QString &what) {
    if (!node.IsScalar())
        fail(node.Mark(), QStringLiteral("%1: a single value is expected").arg(what));
    return text(node.Scalar());
}

FileSetting fileSetting(const std::map<std::string, YAML::Node> &keys, const char *key) {
    const auto found = keys.find(key);
    if (found == keys.end())
        return {};
    FileSetting f{scalar(found->second, QString::fromLatin1(key)),
                  found->second.Mark().line + 1,
                  found->second.Mark().column + 1,
                  {}};
    if (f.path.isEmpty())
        fail(found->second.Mark(), QStringLiteral("%1: a file's path").arg(QLatin1String(key)));
    return f;
}

} // namespace kr7::bridge::yamlread
