// Building forms from Qt Designer .ui files: the registry of component classes and the reader.
#pragma once

#include <functional>
#include <string>

#include "framework/Properties.h"
#include "runtime/Classes.h"

class TForm;

using TComponentFactory = std::function<TComponent*(TComponent* owner)>;

// Makes `className` usable as <widget class="..."> in .ui files. The framework's own controls
// are registered already; other libraries register theirs from a static initializer.
void RegisterComponentClass(const std::string& className, TComponentFactory factory);
bool IsComponentClassRegistered(const std::string& className);

template <typename T> struct TRegisterComponentClass {
  explicit TRegisterComponentClass(const char* className) {
    RegisterComponentClass(className, [](TComponent* owner) { return new T(owner); });
  }
};

// Reads `uiFile` (a path, or ":/..." for a Qt resource) into `form`: the form's own properties,
// then every component, each owned by the form and named as in the file, then the tab order.
// Raises EReadError naming the file, the component and the property that failed.
void ReadForm(TForm* form, const std::string& uiFile);
