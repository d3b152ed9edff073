# Compiler settings shared by every target of the project.
add_library(project_options INTERFACE)
target_compile_features(project_options INTERFACE cxx_std_20)
target_compile_definitions(project_options INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_USE_QSTRINGBUILDER)
# With QStringBuilder a concatenation is a lazy expression: never let `auto` or a lambda without an
# explicit `-> QString` return one, or it keeps references to temporaries that are already gone.
if(MSVC)
  target_compile_options(project_options INTERFACE /W4 /utf-8 /permissive-)
else()
  target_compile_options(project_options INTERFACE -Wall -Wextra -pedantic)
endif()

if(ENABLE_ASAN)
  target_compile_options(project_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(project_options INTERFACE -fsanitize=address,undefined)
endif()
if(ENABLE_TSAN)
  target_compile_options(project_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(project_options INTERFACE -fsanitize=thread)
endif()
