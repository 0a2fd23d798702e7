#include "framework/FormReader.h"

#include <QColor>
#include <QFile>
#include <QFont>
#include <QRect>
#include <QSize>
#include <QStringList>
#include <QXmlStreamReader>
#include <map>
#include <mutex>

#include "framework/Action.h"
#include "framework/Bevel.h"
#include "framework/Button.h"
#include "framework/ComboBox.h"
#include "framework/ControlBar.h"
#include "framework/Form.h"
#include "framework/Label.h"
#include "framework/ListBox.h"
#include "framework/Memo.h"
#include "framework/Menus.h"
#include "framework/OpenDialog.h"
#include "framework/RadioGroup.h"
#include "framework/ToolBar.h"

namespace {

std::mutex gRegistryLock;

std::map<std::string, TComponentFactory>& Registry() {
  static std::map<std::string, TComponentFactory> registry = [] {
    std::map<std::string, TComponentFactory> r;
    auto add = [&r]<typename T>(const char* name, T*) {
      r[name] = [](TComponent* owner) -> TComponent* { return new T(owner); };
    };
    add("TAction", static_cast<TAction*>(nullptr));
    add("TActionList", static_cast<TActionList*>(nullptr));
    add("TPopupMenu", static_cast<TPopupMenu*>(nullptr));
    add("TBevel", static_cast<TBevel*>(nullptr));
    add("TButton", static_cast<TButton*>(nullptr));
    add("TComboBox", static_cast<TComboBox*>(nullptr));
    add("TControlBar", static_cast<TControlBar*>(nullptr));
    add("TLabel", static_cast<TLabel*>(nullptr));
    add("TListBox", static_cast<TListBox*>(nullptr));
    add("TMemo", static_cast<TMemo*>(nullptr));
    add("TOpenDialog", static_cast<TOpenDialog*>(nullptr));
    add("TRadioGroup", static_cast<TRadioGroup*>(nullptr));
    add("TToolBar", static_cast<TToolBar*>(nullptr));
    add("TToolButton", static_cast<TToolButton*>(nullptr));
    return r;
  }();
  return registry;
}

// The .ui file as a small element tree.
struct TNode {
  QString Name;
  QXmlStreamAttributes Attributes;
  QString Text;
  std::vector<TNode> Children;

  const TNode* Child(const char* name) const {
    for (const TNode& c : Children)
      if (c.Name == QLatin1String(name)) return &c;
    return nullptr;
  }
  QString ChildText(const char* name) const {
    const TNode* c = Child(name);
    return c ? c->Text.trimmed() : QString();
  }
  std::string Attr(const char* name) const {
    return Attributes.value(name).toString().toStdString();
  }
};

// Reads an element's text and children; QXmlStreamReader gives text and elements in one pass.
TNode Parse(QXmlStreamReader& xml) {
  TNode node;
  node.Name = xml.name().toString();
  node.Attributes = xml.attributes();
  while (!xml.atEnd()) {
    QXmlStreamReader::TokenType t = xml.readNext();
    if (t == QXmlStreamReader::StartElement)
      node.Children.push_back(Parse(xml));
    else if (t == QXmlStreamReader::Characters)
      node.Text += xml.text();
    else if (t == QXmlStreamReader::EndElement)
      break;
  }
  return node;
}

int Number(const TNode& node, const char* child) {
  bool ok = false;
  int n = node.ChildText(child).toInt(&ok);
  if (!ok) props::Invalid();
  return n;
}

bool BoolText(const QString& text) {
  if (text.compare("true", Qt::CaseInsensitive) == 0) return true;
  if (text.compare("false", Qt::CaseInsensitive) == 0) return false;
  props::Invalid();
}

// The value of a <property> element, in the QVariant form TPublished::SetProperty takes.
QVariant Value(const TNode& property) {
  if (property.Children.empty()) throw EReadError("Property without a value");
  const TNode& v = property.Children.front();
  const QString& kind = v.Name;
  if (kind == "string" || kind == "cstring" || kind == "enum" || kind == "set" || kind == "url")
    return v.Text;
  if (kind == "number") {
    bool ok = false;
    int n = v.Text.trimmed().toInt(&ok);
    if (!ok) props::Invalid();
    return n;
  }
  if (kind == "bool") return BoolText(v.Text.trimmed());
  if (kind == "double") return v.Text.trimmed().toDouble();
  if (kind == "rect")
    return QRect(Number(v, "x"), Number(v, "y"), Number(v, "width"), Number(v, "height"));
  if (kind == "size") return QSize(Number(v, "width"), Number(v, "height"));
  if (kind == "color") {
    QColor c(Number(v, "red"), Number(v, "green"), Number(v, "blue"));
    return c;
  }
  if (kind == "font") {
    QFont out;
    QFont::ResolveProperties mask{};
    if (v.Child("family")) {
      out.setFamily(v.ChildText("family"));
      mask = QFont::ResolveProperties(mask | QFont::FamilyResolved);
    }
    if (v.Child("pointsize")) {
      out.setPointSize(Number(v, "pointsize"));
      mask = QFont::ResolveProperties(mask | QFont::SizeResolved);
    }
    auto flag = [&](const char* name, void (QFont::*set)(bool), QFont::ResolveProperties p) {
      if (!v.Child(name)) return;
      (out.*set)(BoolText(v.ChildText(name)));
      mask = QFont::ResolveProperties(mask | p);
    };
    flag("bold", &QFont::setBold, QFont::WeightResolved);
    flag("italic", &QFont::setItalic, QFont::StyleResolved);
    flag("underline", &QFont::setUnderline, QFont::UnderlineResolved);
    flag("strikeout", &QFont::setStrikeOut, QFont::StrikeOutResolved);
    out.setResolveMask(mask);
    return out;
  }
  if (kind == "stringlist") {
    QStringList list;
    for (const TNode& s : v.Children)
      if (s.Name == "string") list << s.Text;
    return list;
  }
  if (kind == "iconset" || kind == "pixmap") {
    QString file = v.ChildText("normaloff");
    return file.isEmpty() ? v.Text.trimmed() : file;
  }
  throw EReadError("Unsupported property type <" + kind.toStdString() + ">");
}

// Properties Qt Designer writes on its own that say nothing the form resources hold.
bool Ignored(const QString& name) {
  static const QStringList names = {"sizePolicy",  "locale",          "layoutDirection",
                                    "baseSize",    "sizeIncrement",   "contextMenuPolicy",
                                    "acceptDrops", "inputMethodHints"};
  return names.contains(name);
}

class TReader {
public:
  TReader(TForm* form, std::string file) : FForm(form), FFile(std::move(file)) {}

  void Read(const TNode& ui) {
    const TNode* root = ui.Child("widget");
    if (!root) Fail("", "", "no <widget> element");
    FForm->BeginLoading();
    if (!root->Attr("name").empty()) FForm->SetName(root->Attr("name"));
    FForm->setObjectName(QString::fromStdString(FForm->Name()));
    ReadBody(*root, FForm, FForm);
    if (const TNode* tabs = ui.Child("tabstops")) ReadTabStops(*tabs);
    FForm->EndLoading();
  }

private:
  [[noreturn]] void Fail(const std::string& component, const std::string& property,
                         const std::string& why) {
    std::string where = FForm->Name();
    if (!component.empty()) where += "." + component;
    if (!property.empty()) where += "." + property;
    throw EReadError(
        Format("Error reading %s in %s: %s", where.c_str(), FFile.c_str(), why.c_str()));
  }

  void SetProperties(const TNode& node, TPublished* target, const std::string& name) {
    QStringList items;
    bool hasItems = false;
    for (const TNode& child : node.Children) {
      if (child.Name == "item") {
        for (const TNode& p : child.Children)
          if (p.Name == "property" && p.Attr("name") == "text") {
            items << Value(p).toString();
            hasItems = true;
          }
        continue;
      }
      if (child.Name != "property") continue;
      std::string property = child.Attr("name");
      if (Ignored(QString::fromStdString(property))) continue;
      try {
        if (!target->SetProperty(property, Value(child))) Fail(name, property, "no such property");
      } catch (const EReadError& e) {
        if (e.Message().rfind("Error reading ", 0) == 0) throw;
        Fail(name, property, e.Message());
      } catch (const Exception& e) {
        Fail(name, property, e.Message());
      }
    }
    if (hasItems) {
      try {
        if (!target->SetProperty("Items", items)) Fail(name, "Items", "no such property");
      } catch (const Exception& e) {
        Fail(name, "Items", e.Message());
      }
    }
  }

  void ReadBody(const TNode& node, TPublished* target, TControl* container) {
    std::string name = container == FForm && target == FForm ? "" : node.Attr("name");
    SetProperties(node, target, name);
    for (const TNode& child : node.Children) {
      if (child.Name == "widget") {
        if (!container) Fail(name, "", "this component cannot hold controls");
        ReadComponent(child, container);
      } else if (child.Name == "action") {
        auto* action = static_cast<TAction*>(ReadComponent(child, nullptr, "TAction"));
        // An action inside an <actiongroup> belongs to that action list.
        if (auto* list = dynamic_cast<TActionList*>(target)) action->SetActionList(list);
      } else if (child.Name == "actiongroup") {
        ReadComponent(child, nullptr, "TActionList");
      } else if (child.Name == "layout" || child.Name == "spacer") {
        Fail(name, "", "layouts are not supported: place controls by geometry");
      }
    }
  }

  TComponent* ReadComponent(const TNode& node, TControl* parent,
                            const char* forcedClass = nullptr) {
    std::string className = forcedClass ? forcedClass : node.Attr("class");
    std::string name = node.Attr("name");
    if (name.empty()) Fail("", "", "a <" + node.Name.toStdString() + "> without a name");
    if (FForm->FindComponent(name)) Fail(name, "", "a component of this name exists already");
    TComponentFactory factory;
    {
      std::lock_guard lock(gRegistryLock);
      auto it = Registry().find(className);
      if (it == Registry().end()) Fail(name, "", "class " + className + " not found");
      factory = it->second;
    }
    TComponent* component = factory(FForm);
    component->SetName(name);
    component->BeginLoading();
    auto* control = dynamic_cast<TControl*>(component);
    if (control) {
      control->Widget()->setObjectName(QString::fromStdString(name));
      if (parent) control->SetParent(parent);
    }
    auto* published = dynamic_cast<TPublished*>(component);
    if (!published) Fail(name, "", "class " + className + " has no published properties");
    ReadBody(node, published, control);
    return component;
  }

  void ReadTabStops(const TNode& tabs) {
    QWidget* previous = nullptr;
    for (const TNode& t : tabs.Children) {
      std::string name = t.Text.trimmed().toStdString();
      auto* control = dynamic_cast<TControl*>(FForm->FindComponent(name));
      if (!control) Fail(name, "", "tab stop names no control");
      if (previous) QWidget::setTabOrder(previous, control->Widget());
      previous = control->Widget();
    }
  }

  TForm* FForm;
  std::string FFile;
};

} // namespace

void RegisterComponentClass(const std::string& className, TComponentFactory factory) {
  std::lock_guard lock(gRegistryLock);
  Registry()[className] = std::move(factory);
}

bool IsComponentClassRegistered(const std::string& className) {
  std::lock_guard lock(gRegistryLock);
  return Registry().count(className) != 0;
}

void ReadForm(TForm* form, const std::string& uiFile) {
  QFile file(QString::fromStdString(uiFile));
  if (!file.open(QIODevice::ReadOnly))
    throw EReadError(Format("Cannot open form file %s", uiFile.c_str()));
  QXmlStreamReader xml(&file);
  if (!xml.readNextStartElement() || xml.name() != QLatin1String("ui"))
    throw EReadError(Format("%s is not a Qt Designer form", uiFile.c_str()));
  TNode ui = Parse(xml);
  if (xml.hasError())
    throw EReadError(Format("%s: %s at line %lld", uiFile.c_str(),
                            xml.errorString().toStdString().c_str(),
                            static_cast<long long>(xml.lineNumber())));
  TReader(form, uiFile).Read(ui);
}
