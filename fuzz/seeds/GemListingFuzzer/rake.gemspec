# -*- encoding: utf-8 -*-
# stub: rake 13.0.6 ruby lib
