# The plain C consumer, built against the DLL's import library, converts a
# HEIF file made by lumetra.exe and prints its facts.
# -DEMULATOR -DSAMPLE -DTOOL -DCONSUMER -DWORK
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
foreach(step "${SAMPLE};${WORK}/sample.png;64;48" "${TOOL};encode;${WORK}/sample.png;${WORK}/sample.heic"
             "${CONSUMER};${WORK}/sample.heic;${WORK}/a.png")
  execute_process(COMMAND ${EMULATOR} ${step} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${step} failed (${rc})")
  endif()
endforeach()
string(STRIP "${out}" out)
set(expected [[{"width":64,"height":48,"bit_depth":8,"has_alpha":false,"has_thumbnail":false,"color_space":"YCbCr","exif":false,"image_count":1}]])
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "consumer printed '${out}'")
endif()
file(READ ${WORK}/a.png head LIMIT 8 HEX)
if(NOT head STREQUAL "89504e470d0a1a0a")
  message(FATAL_ERROR "consumer wrote no PNG (${head})")
endif()
message(STATUS "consumer through libmorvanta-lumetra.dll.a: ${out}")
