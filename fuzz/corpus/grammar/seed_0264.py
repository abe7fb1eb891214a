from __future__ import barry_as_FLUFL
1 <> 2