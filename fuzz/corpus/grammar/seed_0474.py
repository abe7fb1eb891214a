"abc
"