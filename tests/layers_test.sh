#!/bin/bash
# Which layer may use which. A dependency that points the wrong way fails here, with the lines
# that make it.
#   layers_test.sh <source root>
src="$1/src"
status=0
forbid() {  # what is wrong, grep arguments...
  local what=$1
  shift
  local found
  found=$(grep -rnE "$@")
  if [ -n "$found" ]; then
    echo "$what:"
    echo "$found"
    status=1
  fi
}
below_app=("$src/log" "$src/platform" "$src/devlink" "$src/boards" "$src/update" "$src/card" "$src/history"
           "$src/picture" "$src/bootmode" "$src/sim" "$src/res")
forbid "below the front ends, something includes their logic" '#include "app/' "${below_app[@]}"
# kestrelctl drives cards, the current card or cards of their own: never a window, a view of
# widgets, or a widget's text.
forbid "kestrelctl uses a window or a view of widgets" \
  '#include "app/(main_window|memory_view|view|upgrade_front)\.h"|WindowPresenter|MemoryView|MemoryPropView|DialogView|PropDialogView|item_text\(|\.view\(\)' \
  "$src/cli"
# The front ends learn the card's state through its snapshot and accessors, not its members.
forbid "a front end reads the card's members" '(\.|->)m_[a-z]' "$src/cli" "$src/app/qt"
# A front end holds a session and a card and is told what changed through the session's observer;
# it never becomes a card or a session by deriving from one, nor from another class of the layers
# below it (the observer, the property editor's view and the workflow's front are interfaces made to
# be implemented).
core_classes=$(grep -rhoE '^(class|struct) [A-Z][A-Za-z0-9_]*' "${below_app[@]}" --include='*.h' | awk '{print $2}' |
  grep -vxE 'CardObserver|PropDialogView|UpgradeFront|BootBus|FrameSource|ClockSource|HidBackend' | sort -u | paste -sd'|')
forbid "a front end derives from a class of the core" \
  -E "(class|struct) [A-Za-z0-9_]+( final)? *:[^{;]*(public|private|protected) +(virtual +)?(kestrel::)?($core_classes)\b" \
  "$src/app" "$src/cli"
forbid "Qt outside src/app/qt" --include='*.cpp' --include='*.h' '#include <Q' $(ls -d "$src"/*/ | grep -v '/app/$') "$src/app"/*.cpp "$src/app"/*.h
exit $status
