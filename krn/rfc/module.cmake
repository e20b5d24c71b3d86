# jrfc_entry.cpp is the shared object's own source (JNI_OnLoad, JNI_OnUnload).
tov_sources(jrfc.cpp jrfcutil.cpp jrfccs.cpp jrfclg.cpp jrfccv.cpp jrfcsv.cpp)
