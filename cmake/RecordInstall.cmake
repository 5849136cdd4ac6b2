# Writes what a `make install` put down, for `make uninstall`: every file,
# with DESTDIR in front, then every folder the install had to make, deepest
# first and marked by a trailing "/". Folders that were there before, such
# as bin/ or share/man/, are not listed, so an uninstall never takes away
# what it did not bring.
#   cmake -DMANIFEST=... -DFOLDERS_BEFORE=... -DROOT=$DESTDIR$PREFIX
#         -DDESTDIR=... -DRECORD=... -P cmake/RecordInstall.cmake
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
cmake_path(NORMAL_PATH ROOT)
string(REGEX REPLACE "(.)/$" "\\1" ROOT "${ROOT}")

set(files "")
set(made "")
foreach(file IN LISTS installed)
  set(path "${DESTDIR}${file}")
  cmake_path(NORMAL_PATH path)
  list(APPEND files "${path}")
  cmake_path(GET path PARENT_PATH folder)
  # Up to the install's root, which the install never makes.
  string(LENGTH "${ROOT}" root_length)
  string(LENGTH "${folder}" folder_length)
  while(folder_length GREATER root_length AND NOT folder IN_LIST before)
    list(APPEND made "${folder}/")
    cmake_path(GET folder PARENT_PATH folder)
    string(LENGTH "${folder}" folder_length)
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
