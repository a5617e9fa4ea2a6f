// Unpacking of the Java runtime and product archives into the product's common directory.
#pragma once

// Unpacks "kp\windows\jre.zip", the product archives and the update directory's archives.
void extractArchives();
