#name:helpers
class C:
    def m(self):
        import json as j
        try:
            pass
        except Exception as e:
            pass
