# Writes what a `make install` put down, for `make uninstall`: every file,
# with DESTDIR in front, then every folder the install had to make, deepest
# first and marked by a trailing "/". Folders that were there before, such
# as bin/ or share/man/, are not listed, so an uninstall never takes away
# what it did not bring. FOLDERS_BEFORE holds the folders that were there
# under the install's root and on the way up to it, so that a root the
# install had to make, such as a fresh DESTDIR or /opt/zarim, is its too.
# An install over an earlier one keeps the folders RECORD says that one
# made.
#   cmake -DMANIFEST=... -DFOLDERS_BEFORE=... -DDESTDIR=... -DRECORD=...
#         -P cmake/RecordInstall.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS "${MANIFEST}" installed)
set(before "")
if(EXISTS "${FOLDERS_BEFORE}")
  file(STRINGS "${FOLDERS_BEFORE}" listed)
  foreach(folder IN LISTS listed)
    cmake_path(NORMAL_PATH folder)
    string(REGEX REPLACE "(.)/$" "\\1" folder "${folder}")
    list(APPEND before "${folder}")
  endforeach()
endif()
if(EXISTS "${RECORD}")
  file(STRINGS "${RECORD}" recorded REGEX "/$")
  foreach(folder IN LISTS recorded)
    string(REGEX REPLACE "/$" "" folder "${folder}")
    list(REMOVE_ITEM before "${folder}")
  endforeach()
endif()

set(files "")
set(made "")
foreach(file IN LISTS installed)
  set(path "${DESTDIR}${file}")
  cmake_path(NORMAL_PATH path)
  list(APPEND files "${path}")
  cmake_path(GET path PARENT_PATH folder)
  cmake_path(GET folder PARENT_PATH parent)
  while(NOT folder IN_LIST before AND NOT folder STREQUAL parent)
    list(APPEND made "${folder}/")
    set(folder "${parent}")
    cmake_path(GET folder PARENT_PATH parent)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES made)
# In reverse order a folder comes after everything inside it.
list(SORT made)
list(REVERSE made)
list(JOIN files "\n" file_lines)
list(JOIN made "\n" folder_lines)
file(WRITE "${RECORD}" "${file_lines}\n")
if(made)
  file(APPEND "${RECORD}" "${folder_lines}\n")
endif()
